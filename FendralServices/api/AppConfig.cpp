// The application configuration calls over a ConfigManager kept in GlobalData.
#include "FendralServices/api/ApiGuard.h"
#include "FendralServices/api/FwAppConfig.h"

#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/GlobalData.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace
{

constexpr const char* APP_CONFIG_FILE_KEY = "APP_CONFIG_FILE";
constexpr const char* DEFAULT_APP_CONFIG_FILE = "app_config.txt";

// The parameter name as the caller's 17 bytes hold it, terminated or not.
std::string_view nameOf(const char (&paraName)[17])
{
    return std::string_view(paraName, strnlen(paraName, sizeof(paraName) - 1));
}

template <size_t N>
int getFileName(const char* who, char (&pathname)[N])
{
    return apiGuard(who, -1, [&]() -> int {
        const ConfigManager* config = GlobalData::getInst().getConfigManager();
        if (config == nullptr)
            return fwFail(OBJECT_NULL_PTR, -1);
        std::string value;
        if (config->getStrConfPara(APP_CONFIG_FILE_KEY, value, DEFAULT_APP_CONFIG_FILE) != 0)
            return -1;
        if (value.size() > N - 1)
            return fwFail(PARAM_TOO_LONG, -1);
        std::memset(pathname, 0, N);
        std::memcpy(pathname, value.data(), value.size());
        return 0;
    });
}

template <size_t N>
int loadFile(const char* who, const char (&pathname)[N])
{
    return apiGuard(who, -1, [&]() -> int {
        auto config = std::make_unique<ConfigManager>(std::string(pathname, strnlen(pathname, N)));
        const int32 loaded = config->loadConfigFile();
        if (loaded != 0)
            return loaded;
        // Loaded once per process: a second file would pull values out from
        // under readers of the first.
        if (GlobalData::getInst().setAppConfigManager(config.get()) != 0)
            return fwFail(FUNC_NOT_ALLOWED, -1);
        config.release();
        return 0;
    });
}

template <typename T, typename Read>
int getNumber(const char* who, const char (&paraName)[17], T* valuePtr, Read read)
{
    return apiGuard(who, -1, [&]() -> int {
        if (valuePtr == nullptr)
            return fwFail(NULL_PARAM, -1);
        const ConfigManager* config = GlobalData::getInst().getAppConfigManager();
        if (config == nullptr)
            return fwFail(OBJECT_NULL_PTR, -1);
        return read(*config, nameOf(paraName), *valuePtr);
    });
}

// Clears the len bytes, then copies as much of the value as fits with its terminator.
int getText(const char* who, const char (&paraName)[17], char* ptr, int len, const char* defaultTxt)
{
    return apiGuard(who, -1, [&]() -> int {
        if (ptr == nullptr || len <= 0)
            return fwFail(NULL_PARAM, -1);
        const ConfigManager* config = GlobalData::getInst().getAppConfigManager();
        if (config == nullptr)
            return fwFail(OBJECT_NULL_PTR, -1);
        std::string value;
        const int32 rc =
            config->getStrConfPara(nameOf(paraName), value, defaultTxt != nullptr ? defaultTxt : "");
        if (rc != 0)
            return rc;
        std::memset(ptr, 0, static_cast<size_t>(len));
        std::memcpy(ptr, value.data(), std::min(value.size(), static_cast<size_t>(len) - 1));
        return 0;
    });
}

} // namespace

int getAppConfigFilaname(char (&pathname)[101])
{
    return getFileName("getAppConfigFilaname", pathname);
}

int getAppConfigFilaname2(char (&pathname)[256])
{
    return getFileName("getAppConfigFilaname2", pathname);
}

int loadAppConfigFile(char (&pathname)[101])
{
    return loadFile("loadAppConfigFile", pathname);
}

int loadAppConfigFile2(char (&pathname)[256])
{
    return loadFile("loadAppConfigFile2", pathname);
}

int getInt16Para(char (&paraName)[17], short* valuePtr, short defaultValue)
{
    return getNumber("getInt16Para", paraName, valuePtr, [&](const ConfigManager& c, std::string_view n, short& v) {
        return c.getInt16ConfigPara(n, v, defaultValue);
    });
}

int getInt32Para(char (&paraName)[17], int* valuePtr, int defaultValue)
{
    return getNumber("getInt32Para", paraName, valuePtr, [&](const ConfigManager& c, std::string_view n, int& v) {
        return c.getInt32ConfigPara(n, v, defaultValue);
    });
}

int getInt64Para(char (&paraName)[17], long* valuePtr, long defaultValue)
{
    return getNumber("getInt64Para", paraName, valuePtr, [&](const ConfigManager& c, std::string_view n, long& v) {
        return c.getInt64ConfigPara(n, v, defaultValue);
    });
}

int getUint16Para(char (&paraName)[17], unsigned short* valuePtr, unsigned short defaultValue)
{
    return getNumber("getUint16Para", paraName, valuePtr,
                     [&](const ConfigManager& c, std::string_view n, unsigned short& v) {
                         return c.getUint16ConfigPara(n, v, defaultValue);
                     });
}

int getUint32Para(char (&paraName)[17], unsigned int* valuePtr, unsigned int defaultValue)
{
    return getNumber("getUint32Para", paraName, valuePtr,
                     [&](const ConfigManager& c, std::string_view n, unsigned int& v) {
                         return c.getUint32ConfigPara(n, v, defaultValue);
                     });
}

int getUint64Para(char (&paraName)[17], unsigned long* valuePtr, unsigned long defaultValue)
{
    return getNumber("getUint64Para", paraName, valuePtr,
                     [&](const ConfigManager& c, std::string_view n, unsigned long& v) {
                         return c.getUint64ConfigPara(n, v, defaultValue);
                     });
}

int getDoublePara(char (&paraName)[17], double* valuePtr, double defaultValue)
{
    return getNumber("getDoublePara", paraName, valuePtr, [&](const ConfigManager& c, std::string_view n, double& v) {
        return c.getDoubleConfPara(n, v, defaultValue);
    });
}

int getTxtPara(char (&paraName)[17], char (&text)[101], const char* defaultTxt)
{
    return getText("getTxtPara", paraName, text, sizeof(text), defaultTxt);
}

int getLongTxtPara(char (&paraName)[17], char (&text)[256], const char* defaultTxt)
{
    return getText("getLongTxtPara", paraName, text, sizeof(text), defaultTxt);
}

int getTxtPara2(char (&paraName)[17], char* ptr, int len, const char* defaultTxt)
{
    return getText("getTxtPara2", paraName, ptr, len, defaultTxt);
}
