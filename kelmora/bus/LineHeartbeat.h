// Bus message: a line is alive. Its arrival is the whole message.
#pragma once

class LineHeartbeat
{
};
