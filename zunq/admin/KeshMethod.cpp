#include "zunq/admin/KeshMethod.h"

namespace
{

const char* typeName(KeshMethodType type)
{
    switch (type)
    {
    case KESH_METHOD_INFO:
        return "info";
    case KESH_METHOD_ACTION:
        return "action";
    case KESH_METHOD_ACTION_INFO:
        return "action and info";
    }
    return "unknown";
}

} // namespace

KeshMethod::KeshMethod(const std::string& name, KeshMethodType type, const std::string& description)
    : mName(name)
    , mType(type)
    , mDescription(description)
{
}

KeshMethod::~KeshMethod() = default;

void KeshMethod::addArgParamDef(const std::string& name, const std::string& help, const std::string& defaultValue,
                                bool required)
{
    mArgs.push_back(KeshParamDef{name, help, defaultValue, required});
}

void KeshMethod::addResultParamDef(const std::string& name, const std::string& help)
{
    mResults.push_back(KeshParamDef{name, help, std::string(), false});
}

void KeshMethod::getFullHelp(std::string& help) const
{
    help = mName + " (" + typeName(mType) + "): " + mDescription + "\n";
    if (mArgs.empty())
    {
        help += "  Arguments: none\n";
    }
    else
    {
        help += "  Arguments:\n";
        for (const KeshParamDef& arg : mArgs)
        {
            help += "    " + arg.name + (arg.required ? " (required" : " (optional");
            if (!arg.defaultValue.empty())
                help += ", default " + arg.defaultValue;
            help += "): " + arg.help + "\n";
        }
    }
    if (!mResults.empty())
    {
        help += "  Results:\n";
        for (const KeshParamDef& result : mResults)
            help += "    " + result.name + ": " + result.help + "\n";
    }
}
