// Bus message: the request to end the process, with its reason.
#pragma once

#include <string>

class TerminateAll
{
public:
    TerminateAll() = default;
    explicit TerminateAll(const std::string& reason) : mReason(reason) {}

    const std::string& getReason() const { return mReason; }

    std::string mReason;
};
