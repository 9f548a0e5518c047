// Bus message: refresh (snapshot) a channel, or stop a refresh.
#pragma once

#include <cstdint>

class RefreshRequest
{
public:
    std::int64_t mChannelId = 0;
    bool mCancel = false;
    // Spool realtime messages while the refresh runs.
    bool mSpoolRealtimeMessage = false;
};
