// One parsed host configuration file (XML, read with Xerces-C). The parsed
// tree is immutable and shared: a configuration manager that adds the file
// keeps the tree, so the file object itself may be deleted at once.
#pragma once

#include "zunq/config/CfgEntry.h"

#include <memory>
#include <string>

class ZunqConfigManager;

class ConfigFile
{
public:
    // Largest file accepted; a configuration is a few kilobytes.
    static constexpr long cMaxFileSize = 8L * 1024 * 1024;
    // Deepest element nesting accepted.
    static constexpr int cMaxDepth = 64;

    // Parses the file at path. Throws ConfigError naming the file and line
    // when it is not well-formed XML, holds a document type declaration, nests
    // too deep or mixes text with child elements (and naming the file when it
    // is larger than cMaxFileSize); returns null when it cannot be read at all.
    static ConfigFile* load(const std::string& name, const std::string& path);

    // The name it was asked for, and the path it was read from.
    const std::string& getName() const { return mName; }
    const std::string& getPath() const { return mPath; }
    // The root element; its children are the top level of the configuration.
    const CfgEntry& getRoot() const { return *mRoot; }
    const std::shared_ptr<const CfgEntry>& sharedRoot() const { return mRoot; }

private:
    ConfigFile(std::string name, std::string path, std::shared_ptr<const CfgEntry> root);

    std::string mName;
    std::string mPath;
    std::shared_ptr<const CfgEntry> mRoot;
};

// Finds and parses a configuration file. A name with a "/" is used as given;
// any other is looked for in each directory of TARVOK_PATH (":"-separated),
// then in the working directory, first as given and then with ".xml" added.
// The file keeps the absolute path it was found at.
// Returns a new file owned by the caller, or null when none is found or
// readable; throws ConfigError when the file found is malformed.
ConfigFile* createConfigFile(const std::string& name, const ZunqConfigManager& manager);
