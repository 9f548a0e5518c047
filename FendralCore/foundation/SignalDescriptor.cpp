#include "FendralCore/foundation/SignalDescriptor.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/LogCall.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

static_assert(sizeof(signalfd_siginfo) == SignalDescriptor::SIGNAL_RECORD_SIZE);

SignalDescriptor::SignalDescriptor()
    : FileDescriptor(FILE_DESC), m_gblData(GlobalData::getInst())
{
    sigset_t all;
    sigfillset(&all);
    char text[128];
    const int rc = pthread_sigmask(SIG_BLOCK, &all, nullptr);
    if (rc != 0)
        fwLog(LOG_LEVEL_ERROR, "Error [%d] blocking all signals. %s", rc, strerror_r(rc, text, sizeof(text)));
    m_fd = signalfd(-1, &all, SFD_CLOEXEC);
    if (m_fd == -1)
    {
        const int error = errno;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] creating signal descriptor. %s", error,
              strerror_r(error, text, sizeof(text)));
    }
}

int32 SignalDescriptor::send(char*, int, int& done)
{
    done = 0;
    return 0;
}

int32 SignalDescriptor::receive(char* buf, int len, int& done)
{
    if (buf == nullptr || len < SIGNAL_RECORD_SIZE)
    {
        fwLog(LOG_LEVEL_ERROR, "Receive buffer must be at least [%lu] bytes long",
              static_cast<unsigned long>(SIGNAL_RECORD_SIZE));
        return fwFail(INVALID_SIGNAL_MSG_BUFFER_SIZE, -1);
    }
    signalfd_siginfo record;
    const ssize_t n = ::read(m_fd, &record, sizeof(record));
    done = static_cast<int>(n);
    if (n != SIGNAL_RECORD_SIZE)
    {
        fwLog(LOG_LEVEL_ERROR, "Expect to receive [%d] bytes but got [%lu]", SIGNAL_RECORD_SIZE,
              static_cast<unsigned long>(n));
        return fwFail(INCORRECT_SIGNAL_MSG_SIZE, -1);
    }
    std::memcpy(buf, &record, sizeof(record));
    done = SIGNAL_RECORD_SIZE;
    return 0;
}
