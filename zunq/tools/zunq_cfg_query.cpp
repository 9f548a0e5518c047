// zunq_cfg_query: prints the value a configuration key resolves to for given
// configuration files, bases and command-line options, exactly as the
// programs read it, so that operators can check a configuration before use.

#include "zunq/config/ConfigError.h"
#include "zunq/config/ConfigFile.h"
#include "zunq/config/ZunqConfigManager.h"

#include <charconv>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace
{

const char* const cUsage =
    "Usage: zunq_cfg_query [options] KEY [-- PROGRAM-ARGUMENTS...]\n"
    "Prints the value KEY resolves to, as the programs read it: the command-line\n"
    "option, else the key in the most specific base, else at the top level of the\n"
    "files (a later file first), else the default.\n"
    "  --file NAME      configuration file, found as the programs find it (TARVOK_PATH,\n"
    "                   then the working directory, as given or with \".xml\");\n"
    "                   repeat it: a later file overrides an earlier one\n"
    "  --base BASE      configuration base, a section path such as feed or feed/hostA;\n"
    "                   repeat it from the most general to the most specific\n"
    "  --option OPT     command-line option to consult (default: the key's twin,\n"
    "                   e.g. --queue-size for QueueSize); \"\" for none\n"
    "  --type TYPE      string (default), long, bool or double\n"
    "  --default VALUE  printed as given when nothing sets the key\n"
    "  --raw            the text exactly as written, white space kept\n"
    "  --list           every value of the key's list, one a line\n"
    "  -h, --help       this text\n"
    "Arguments after \"--\" are the program's command line.\n"
    "Exit status: 0 value printed, 1 configuration error, 2 key not set and no\n"
    "default, 64 wrong usage.\n";

constexpr int cExitConfigError = 1;
constexpr int cExitNotSet = 2;
constexpr int cExitUsage = 64;

struct Request
{
    std::vector<std::string> files;
    std::vector<std::string> bases;
    std::vector<std::string> programArgs;
    std::string key;
    std::string option;
    bool optionGiven = false;
    std::string type = "string";
    std::string def;
    bool defGiven = false;
    bool raw = false;
    bool list = false;
};

int usageError(const std::string& what)
{
    std::cerr << "zunq_cfg_query: " << what << "\n" << cUsage;
    return cExitUsage;
}

// Returns -1 when the request is complete, else the exit status.
int parseArguments(int argc, char** argv, Request& r)
{
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "-h" || arg == "--help")
        {
            std::cout << cUsage;
            return 0;
        }
        if (arg == "--")
        {
            r.programArgs.assign(argv + i + 1, argv + argc);
            break;
        }
        if (arg == "--file" || arg == "--base" || arg == "--option" || arg == "--type" || arg == "--default")
        {
            if (!value(v))
                return usageError(arg + " needs a value");
            if (arg == "--file")
                r.files.push_back(v);
            else if (arg == "--base")
                r.bases.push_back(v);
            else if (arg == "--option")
                r.option = v, r.optionGiven = true;
            else if (arg == "--type")
                r.type = v;
            else
                r.def = v, r.defGiven = true;
        }
        else if (arg == "--raw")
            r.raw = true;
        else if (arg == "--list")
            r.list = true;
        else if (arg.size() > 1 && arg[0] == '-')
            return usageError("unknown option " + arg);
        else if (r.key.empty())
            r.key = arg;
        else
            return usageError("one key only");
    }
    if (r.key.empty())
        return usageError("no key given");
    if (r.type != "string" && r.type != "long" && r.type != "bool" && r.type != "double")
        return usageError("unknown type " + r.type);
    if (!r.optionGiven)
        r.option = ZunqConfigManager::optionName(r.key);
    return -1;
}

std::string formatDouble(double value)
{
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

int query(const Request& r)
{
    std::vector<const char*> args{"zunq_cfg_query"};
    for (const auto& a : r.programArgs)
        args.push_back(a.c_str());
    ZunqConfigManager manager(static_cast<int>(args.size()), args.data());
    for (const auto& name : r.files)
    {
        std::unique_ptr<ConfigFile> file(createConfigFile(name, manager));
        if (!file)
        {
            std::cerr << "zunq_cfg_query: configuration file " << name << " not found or not readable\n";
            return cExitConfigError;
        }
        manager.addFile(file.get());
    }
    for (const auto& base : r.bases)
        manager.addConfigBase(base, ZunqConfigManager::ALT_ROOT_OPTIONAL);

    std::string optionValue;
    const bool optionSet = !r.option.empty() && manager.getOptArg(r.option, optionValue);
    const CfgEntry* entry = manager.getChild(r.key);
    if (!optionSet && entry == nullptr && !r.defGiven)
    {
        std::cerr << "zunq_cfg_query: " << r.key << " is not set\n";
        return cExitNotSet;
    }

    if (!optionSet && entry == nullptr)
    {
        std::cout << r.def << "\n";
        return 0;
    }
    if (r.list)
    {
        if (optionSet)
            std::cout << optionValue << "\n";
        else
            for (const auto& value : entry->values())
                std::cout << value << "\n";
    }
    else if (r.type == "string")
        std::cout << manager.getString(r.key, r.option, "", r.raw) << "\n";
    else if (r.type == "long")
        std::cout << manager.getLong(r.key, r.option, 0, r.raw) << "\n";
    else if (r.type == "bool")
        std::cout << (manager.getBool(r.key, r.option, false, r.raw) ? "true" : "false") << "\n";
    else
        std::cout << formatDouble(manager.getDouble(r.key, r.option, 0, r.raw)) << "\n";
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Request request;
    if (const int status = parseArguments(argc, argv, request); status >= 0)
        return status;
    try
    {
        return query(request);
    }
    catch (const ConfigError& e)
    {
        std::cerr << "zunq_cfg_query: " << e.what() << "\n";
        return cExitConfigError;
    }
}
