// The host's configuration: the command line, the loaded configuration files
// and the configuration bases, read through typed getters, plus the
// application's identity (binary, exe, application and class names, version).
//
// A getter (key, option, default) gives, in this order of precedence:
//   1. the command-line option, when the option is not empty and is given;
//   2. the key, when the key is not empty, found
//      a. in the section of the most specific configuration base (bases are
//         searched from the last added to the first), then
//      b. at the top level of the loaded files (a later file overrides an
//         earlier one; within a base, too, the later file is searched first);
//   3. the default.
// A base is a section path from the top level: "feed", "feed/hostA", a
// sub-feed or thread name. A base whose section a file lacks is skipped.
// Given a section, a getter reads the key from that section alone.
//
// Each component that reads per sub-feed or per thread works on a copy: the
// copy shares the (immutable) files and owns its bases and command line, so
// what it adds never reaches the manager it was copied from. Build and extend
// a manager on one thread; reading a manager nobody changes is safe from any.
#pragma once

#include "zunq/config/CfgEntry.h"
#include "zunq/config/CommandLine.h"

#include <memory>
#include <string>
#include <vector>

class ConfigFile;

class ZunqConfigManager
{
public:
    enum AltRootType
    {
        ALT_ROOT_OPTIONAL // the base's section may be missing from any file
    };

    // argv[0] gives the first binary and exe name (after its last "/") and
    // the exe path; argv[1..] is the command line.
    ZunqConfigManager(int argc, const char* const* argv);
    ZunqConfigManager(const ZunqConfigManager&) = default;
    ZunqConfigManager& operator=(const ZunqConfigManager&) = default;
    ~ZunqConfigManager();

    // --- files
    // Adds the file's parsed tree after the ones loaded so far; the caller
    // keeps the file object and may delete it.
    void addFile(const ConfigFile* file);
    // The paths of the loaded files, in load order.
    std::vector<std::string> getConfigFileList() const;

    // --- bases
    void addConfigBase(const std::string& base, AltRootType type);

    // --- typed getters (precedence above). The flag asks for the text as
    // written: without it, white space around a configured value is removed.
    // A value that does not fit the type throws ConfigError naming the key or
    // option and where the value was written; so does a key that names a
    // section. Numbers: decimal, or hexadecimal after 0x. Booleans, any case:
    // true/false, yes/no, on/off, 1/0; an option given without a value is true.
    std::string getString(const std::string& key, const std::string& option, const std::string& def,
                          bool flag = false, const CfgEntry* section = nullptr) const;
    long getLong(const std::string& key, const std::string& option, long def, bool flag = false,
                 const CfgEntry* section = nullptr) const;
    bool getBool(const std::string& key, const std::string& option, bool def, bool flag = false,
                 const CfgEntry* section = nullptr) const;
    double getDouble(const std::string& key, const std::string& option, double def, bool flag = false,
                     const CfgEntry* section = nullptr) const;

    // An entry (a section or a key with its values) by name: the parent's own
    // child when a parent is given; otherwise looked up like a key, through the
    // bases and then the top level. Null when absent.
    const CfgEntry* getChild(const std::string& name, const CfgEntry* parent = nullptr) const;

    // --- command line
    // True when the option is given; value gets its value (empty for a switch).
    bool getOptArg(const std::string& option, std::string& value) const;
    // Appends one argument, as if it had been given on the command line.
    void setArg(const std::string& arg);

    // The command-line twin of a key: its CamelCase words in lower case,
    // joined by hyphens ("TcpConnectDelay" -> "--tcp-connect-delay",
    // "HAConfiguration" -> "--ha-configuration").
    static std::string optionName(const std::string& key);

    // --- identity of the application
    void setBinaryName(const std::string& name) { mBinaryName = name; }
    const std::string& getBinaryName() const { return mBinaryName; }
    void setExePath(const std::string& path) { mExePath = path; }
    const std::string& getExePath() const { return mExePath; }
    void setExeName(const std::string& name) { mExeName = name; }
    const std::string& getExeName() const { return mExeName; }
    void setAppName(const std::string& name) { mAppName = name; }
    const std::string& getAppName() const { return mAppName; }
    void setClassName(const std::string& name) { mClassName = name; }
    const std::string& getClassName() const { return mClassName; }
    void setVersion(const std::string& version) { mVersion = version; }
    const std::string& getVersion() const { return mVersion; }

private:
    struct LoadedFile
    {
        std::string path;
        std::shared_ptr<const CfgEntry> root;
    };

    // Where a value came from, for the getters and their error texts.
    struct Found
    {
        bool given = false;
        bool fromOption = false;
        std::string text;
        std::string origin;
    };

    Found lookup(const std::string& key, const std::string& option, bool flag, const CfgEntry* section) const;
    const CfgEntry* findEntry(const std::string& name) const;
    static const CfgEntry* findSection(const CfgEntry& root, const std::string& path);
    static const CfgEntry* lastSection(const CfgEntry& parent, const std::string& name);

    CommandLine mCommandLine;
    std::vector<LoadedFile> mFiles;
    std::vector<std::string> mBases;
    std::string mBinaryName;
    std::string mExePath;
    std::string mExeName;
    std::string mAppName;
    std::string mClassName;
    std::string mVersion;
};
