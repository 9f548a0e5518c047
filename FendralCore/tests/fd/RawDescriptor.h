// A descriptor over any kernel descriptor the test opened (socket, dup, file),
// closed with the object.
#pragma once

#include "FendralCore/foundation/FileDescriptor.h"

#include <unistd.h>

class RawDescriptor : public FileDescriptor
{
public:
    explicit RawDescriptor(int fd) : FileDescriptor(FILE_DESC) { m_fd = fd; }

    int32 send(char* buf, int len, int& done) override
    {
        done = static_cast<int>(::write(m_fd, buf, static_cast<size_t>(len)));
        return done == len ? 0 : -1;
    }

    int32 receive(char* buf, int len, int& done) override
    {
        done = static_cast<int>(::read(m_fd, buf, static_cast<size_t>(len)));
        return done == len ? 0 : -1;
    }

    // Closes the number without telling the multiplexer, as code outside the
    // framework might.
    void closeUnderneath()
    {
        ::close(m_fd);
        m_fd = -1;
    }
};
