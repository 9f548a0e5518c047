// Start-up of the retransmission clients. Sub-feeds whose LineDataFormat is
// "dravek" are retransmission sub-feeds (FeedRole "retrans") or live ones
// (FeedRole "live", the default); each live sub-feed is served by the
// retransmission sub-feed its RetranFeed names, or by the default one. Every
// retransmission sub-feed in use gets one client with its TCP settings and
// hunt list, wired to the live channels it serves, and registered under the
// names the login and TCP line factories look up.
#pragma once

#include "kelmora/recovery/LineHandlerZunqRetrans.h"
#include "kelmora/runtime/InitModule.h"

template <>
bool InitModule<LineHandlerZunqRetrans>::createModule(ModuleList* list, ZunqConfigManager* config);
