// The base of every masquerader: a component that writes the bytes of the
// line data it receives to a downstream receiver, so that the receiver sees
// the feed as if it came from its source. The six framing and rate setters
// are the points where a variant would shape its output; the variants here
// leave them empty.
#pragma once

#include <memory>
#include <string>

class Log;

class LineMasquerader
{
public:
    explicit LineMasquerader(Log& log);
    virtual ~LineMasquerader();

    LineMasquerader(const LineMasquerader&) = delete;
    LineMasquerader& operator=(const LineMasquerader&) = delete;

    virtual void setRate(unsigned long) {}
    virtual void setBlockBegin(const std::string&) {}
    virtual void setBlockEnd(const std::string&) {}
    virtual void setMsgBegin(const std::string&) {}
    virtual void setMsgEnd(const std::string&) {}
    virtual void setMsgSeparator(const std::string&) {}

private:
    struct LineMasqueraderImpl;
    std::unique_ptr<LineMasqueraderImpl> mImpl;
};
