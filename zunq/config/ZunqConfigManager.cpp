#include "zunq/config/ZunqConfigManager.h"

#include "zunq/config/ConfigError.h"
#include "zunq/config/ConfigFile.h"

#include <cctype>
#include <charconv>
#include <cmath>

namespace
{

std::string lower(std::string text)
{
    for (char& ch : text)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return text;
}

bool parseDouble(const std::string& raw, double& value)
{
    std::string text = CfgEntry::trim(raw);
    if (!text.empty() && text[0] == '+')
        text.erase(0, 1);
    if (text.empty())
        return false;
    // Plain decimal notation only: no "inf", "nan" or hexadecimal floats.
    for (char ch : text)
        if (!(std::isdigit(static_cast<unsigned char>(ch)) || ch == '.' || ch == '-' || ch == '+' || ch == 'e' ||
              ch == 'E'))
            return false;
    double parsed = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(parsed))
        return false;
    value = parsed;
    return true;
}

} // namespace

ZunqConfigManager::ZunqConfigManager(int argc, const char* const* argv) : mCommandLine(argc, argv)
{
    if (argc > 0 && argv != nullptr && argv[0] != nullptr)
    {
        mExePath = argv[0];
        const auto slash = mExePath.rfind('/');
        mBinaryName = slash == std::string::npos ? mExePath : mExePath.substr(slash + 1);
        mExeName = mBinaryName;
    }
}

ZunqConfigManager::~ZunqConfigManager() = default;

void ZunqConfigManager::addFile(const ConfigFile* file)
{
    if (file != nullptr)
        mFiles.push_back(LoadedFile{file->getPath(), file->sharedRoot()});
}

std::vector<std::string> ZunqConfigManager::getConfigFileList() const
{
    std::vector<std::string> paths;
    for (const auto& file : mFiles)
        paths.push_back(file.path);
    return paths;
}

void ZunqConfigManager::addConfigBase(const std::string& base, AltRootType)
{
    if (!base.empty())
        mBases.push_back(base);
}

bool ZunqConfigManager::getOptArg(const std::string& option, std::string& value) const
{
    return mCommandLine.find(option, value);
}

void ZunqConfigManager::setArg(const std::string& arg)
{
    mCommandLine.add(arg);
}

const CfgEntry* ZunqConfigManager::lastSection(const CfgEntry& parent, const std::string& name)
{
    const auto& children = parent.getChildren();
    for (auto it = children.rbegin(); it != children.rend(); ++it)
        if ((*it)->isSection() && (*it)->getName() == name)
            return *it;
    return nullptr;
}

const CfgEntry* ZunqConfigManager::findSection(const CfgEntry& root, const std::string& path)
{
    const CfgEntry* node = &root;
    std::size_t start = 0;
    while (node != nullptr && start <= path.size())
    {
        const auto slash = path.find('/', start);
        const std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (!part.empty())
            node = lastSection(*node, part);
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return node == &root ? nullptr : node;
}

const CfgEntry* ZunqConfigManager::findEntry(const std::string& name) const
{
    for (auto base = mBases.rbegin(); base != mBases.rend(); ++base)
        for (auto file = mFiles.rbegin(); file != mFiles.rend(); ++file)
            if (const CfgEntry* section = findSection(*file->root, *base))
                if (const CfgEntry* entry = section->getChild(name))
                    return entry;
    for (auto file = mFiles.rbegin(); file != mFiles.rend(); ++file)
        if (const CfgEntry* entry = file->root->getChild(name))
            return entry;
    return nullptr;
}

const CfgEntry* ZunqConfigManager::getChild(const std::string& name, const CfgEntry* parent) const
{
    if (name.empty())
        return nullptr;
    return parent != nullptr ? parent->getChild(name) : findEntry(name);
}

ZunqConfigManager::Found ZunqConfigManager::lookup(const std::string& key, const std::string& option, bool flag,
                                                   const CfgEntry* section) const
{
    Found found;
    if (!option.empty() && mCommandLine.find(option, found.text))
    {
        found.given = true;
        found.fromOption = true;
        found.origin = "option " + option;
        return found;
    }
    if (key.empty())
        return found;
    const CfgEntry* entry = section != nullptr ? section->getChild(key) : findEntry(key);
    if (entry == nullptr)
        return found;
    found.origin = "key " + key + " (" + entry->where() + ")";
    if (entry->isSection())
        throw ConfigError(found.origin + ": is a section, not a value");
    found.given = true;
    if (flag)
        found.text = entry->getRawValue();
    else
        entry->getValue(found.text);
    return found;
}

std::string ZunqConfigManager::getString(const std::string& key, const std::string& option, const std::string& def,
                                         bool flag, const CfgEntry* section) const
{
    Found found = lookup(key, option, flag, section);
    return found.given ? found.text : def;
}

long ZunqConfigManager::getLong(const std::string& key, const std::string& option, long def, bool flag,
                                const CfgEntry* section) const
{
    const Found found = lookup(key, option, flag, section);
    if (!found.given)
        return def;
    long value = 0;
    if (!CfgEntry::parseLong(found.text, value))
        throw ConfigError(found.origin + ": \"" + found.text + "\" is not a whole number");
    return value;
}

double ZunqConfigManager::getDouble(const std::string& key, const std::string& option, double def, bool flag,
                                    const CfgEntry* section) const
{
    const Found found = lookup(key, option, flag, section);
    if (!found.given)
        return def;
    double value = 0;
    if (!parseDouble(found.text, value))
        throw ConfigError(found.origin + ": \"" + found.text + "\" is not a number");
    return value;
}

bool ZunqConfigManager::getBool(const std::string& key, const std::string& option, bool def, bool flag,
                                const CfgEntry* section) const
{
    const Found found = lookup(key, option, flag, section);
    if (!found.given)
        return def;
    const std::string text = lower(CfgEntry::trim(found.text));
    // An option given as a bare switch turns the setting on.
    if (text.empty() && found.fromOption)
        return true;
    if (text == "true" || text == "yes" || text == "on" || text == "1")
        return true;
    if (text == "false" || text == "no" || text == "off" || text == "0")
        return false;
    throw ConfigError(found.origin + ": \"" + found.text + "\" is not true or false");
}

std::string ZunqConfigManager::optionName(const std::string& key)
{
    if (key.empty())
        return {};
    std::string option = "-";
    auto isUpper = [](char c) { return c >= 'A' && c <= 'Z'; };
    auto isLowerOrDigit = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
    for (std::size_t i = 0; i < key.size(); ++i)
    {
        const char ch = key[i];
        if (ch == '_' || ch == '-')
        {
            option += '-';
            continue;
        }
        // A word starts at a capital after a small letter or digit, and at the
        // last capital of an acronym that a small letter follows ("HAConfig").
        const bool wordStart =
            isUpper(ch) && (i == 0 || isLowerOrDigit(key[i - 1]) ||
                            (isUpper(key[i - 1]) && i + 1 < key.size() && key[i + 1] >= 'a' && key[i + 1] <= 'z'));
        if (wordStart || i == 0)
            option += '-';
        option += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    return option;
}
