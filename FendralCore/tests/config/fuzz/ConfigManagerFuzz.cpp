// libFuzzer entry for the configuration reader: the input is the whole file.
// Built apart from the test programs by build.sh (needs clang).
#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/runtime/AppLogSink.h"

#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace
{

// Formats every line, keeps none.
class DiscardSink : public AppLogSink
{
public:
    int32 writeLine(int32, const char*, uint32) override { return 0; }
};

int fileForInput()
{
    static const int fd = [] {
        static DiscardSink sink;
        static AppLogger logger("", "fuzz", LOG_LEVEL_DEBUG);
        logger.setSink(&sink);
        logger.openLog();
        GlobalData::getInst().setLogger(&logger);
        return memfd_create("fwcfg", MFD_CLOEXEC);
    }();
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const int fd = fileForInput();
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        return 0;
    ConfigManager config("/proc/self/fd/" + std::to_string(fd));
    const int32 rc = config.loadConfigFile();

    // The load fails exactly when the file ends inside a line.
    const bool endsInsideALine = size > 0 && data[size - 1] != '\n';
    if (rc != (endsInsideALine ? -1 : 0))
        __builtin_trap();
    // Never an entry with an empty name.
    std::string value;
    if (config.getStrConfPara("", value, "default") != 0 || value != "default")
        __builtin_trap();
    if (config.reloadConfigFile() != rc)
        __builtin_trap();
    return 0;
}
