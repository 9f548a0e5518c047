// The framework's limits as an application sees them, so that a component
// can take what it will need before it starts work and tell the operator
// which setting would serve its load.
#pragma once

// The most timers the calling framework thread may hold at once
// (MSG_DISP_FD_NUM + 5), or -1 with NOT_IN_THREAD_CONTEXT on another thread.
int getTimerLimit();
// The TCP connections (listening, accepted and outgoing) the process may
// have registered at once (TCP_CONN_RES_MAX).
int getTcpConnectionLimit();
