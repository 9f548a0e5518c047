// A topic publisher for tests, standing in for the messaging service's
// topics: it records every call and answers from a script of error codes
// (0 = accepted), then accepts everything.
#pragma once

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/TopicPublisher.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

class RecordingTopic : public TopicPublisher
{
public:
    struct Sent
    {
        std::string payload;
        uint64 applSeqNum;
        MrmCmdType mrmCmd;
        uint32 mrmSessionId;
        std::string appId;
        int32 appInstId;
    };

    // The answers of the next calls, in order: 0 accepts, anything else fails
    // with that code.
    void answer(std::initializer_list<int32> codes)
    {
        std::lock_guard lock(m_mutex);
        m_answers.insert(m_answers.end(), codes);
    }

    std::vector<Sent> sent()
    {
        std::lock_guard lock(m_mutex);
        return m_sent;
    }

    int32 sendMessage(const char* msg, uint32 len, uint64& topicSeq, uint64 applSeqNum, bool, const char*, int32,
                      bool) override
    {
        std::lock_guard lock(m_mutex);
        m_sent.push_back({std::string(msg, len), applSeqNum, MRM_TOPIC_RQS, 0, {}, 0});
        const int32 code = next();
        if (code != 0)
            return fwFail(code, -1);
        topicSeq = ++m_seq;
        return 0;
    }

    int32 sendMrmMessage(MrmCmdType mrmCmd, uint32 mrmSessionId, const char* msg, int32 len, const char* appId,
                         int32 appInstId) override
    {
        std::lock_guard lock(m_mutex);
        m_sent.push_back({std::string(msg, static_cast<size_t>(len)), 0, mrmCmd, mrmSessionId,
                          appId != nullptr ? appId : "", appInstId});
        const int32 code = next();
        return code != 0 ? fwFail(code, -1) : 0;
    }

private:
    int32 next()
    {
        if (m_answers.empty())
            return 0;
        const int32 code = m_answers.front();
        m_answers.pop_front();
        return code;
    }

    std::mutex m_mutex;
    std::deque<int32> m_answers;
    std::vector<Sent> m_sent;
    uint64 m_seq = 0;
};
