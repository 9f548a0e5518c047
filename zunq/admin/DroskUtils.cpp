#include "zunq/admin/DroskUtils.h"

#include "zunq/log/Log.h"
#include "zunq/log/LogRegistry.h"
#include "zunq/protocol/ZunqDumpUtils.h"

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace
{

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

char* copyText(std::string_view text)
{
    char* copy = new char[text.size() + 1];
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

// The next field up to ':' (the rest of the entry when `last`), trimmed; the
// entry is advanced past it. False when there is no such field.
bool takeField(std::string_view& entry, std::string_view& field, bool last)
{
    if (last)
    {
        field = trimmed(entry);
        entry = {};
        return true;
    }
    const std::size_t colon = entry.find(':');
    if (colon == std::string_view::npos)
        return false;
    field = trimmed(entry.substr(0, colon));
    entry.remove_prefix(colon + 1);
    return true;
}

// One entry, or null with the reason.
std::unique_ptr<DroskUtils::KeshCmd> parseEntry(std::string_view entry, const char*& reason)
{
    std::string_view kind, process, subject;
    if (!takeField(entry, kind, false))
    {
        reason = "no ':' after the kind";
        return nullptr;
    }
    const bool touch = kind == "touch";
    if (!touch && kind != "cmd")
    {
        reason = "the kind is neither touch nor cmd";
        return nullptr;
    }
    if (!takeField(entry, process, false))
    {
        reason = touch ? "no path" : "no subject";
        return nullptr;
    }
    if (process.empty())
    {
        reason = "no process";
        return nullptr;
    }
    std::string_view args;
    if (touch)
        takeField(entry, subject, true);
    else if (!takeField(entry, subject, false))
        takeField(entry, subject, true);
    else
        args = entry;
    if (subject.empty())
    {
        reason = touch ? "no path" : "no subject";
        return nullptr;
    }

    auto cmd = std::make_unique<DroskUtils::KeshCmd>();
    cmd->mType = touch ? DroskUtils::TOUCH : DroskUtils::COMMAND;
    cmd->mProcess = copyText(process);
    cmd->mSubject = copyText(subject);
    std::vector<std::string_view> words;
    for (std::size_t at = 0; at < args.size();)
    {
        while (at < args.size() && isBlank(args[at]))
            ++at;
        const std::size_t start = at;
        while (at < args.size() && !isBlank(args[at]))
            ++at;
        if (at > start)
            words.push_back(args.substr(start, at - start));
    }
    cmd->mpArgv = new char*[words.size() + 1]();
    for (std::size_t i = 0; i < words.size(); ++i)
        cmd->mpArgv[i] = copyText(words[i]);
    return cmd;
}

} // namespace

DroskUtils::KeshCmd::~KeshCmd()
{
    delete[] mSubject;
    delete[] mProcess;
    if (mpArgv != nullptr)
        for (char** word = mpArgv; *word != nullptr; ++word)
            delete[] *word;
    delete[] mpArgv;
}

DroskUtils::KeshCmd** DroskUtils::constructCmds(const char* text, Log* log)
{
    if (text == nullptr)
        return nullptr;
    std::vector<std::unique_ptr<KeshCmd>> cmds;
    const std::string_view all(text);
    std::size_t number = 0;
    for (std::size_t from = 0; from <= all.size();)
    {
        std::size_t end = all.find(';', from);
        if (end == std::string_view::npos)
            end = all.size();
        const std::string_view entry = trimmed(all.substr(from, end - from));
        from = end + 1;
        if (entry.empty())
            continue;
        ++number;
        const char* reason = "";
        std::unique_ptr<KeshCmd> cmd = parseEntry(entry, reason);
        if (cmd == nullptr)
        {
            Log* out = log != nullptr ? log : LogRegistry::g_logger;
            if (out != nullptr)
                out->error() << "DroskUtils::constructCmds(): failover action " << number << " ("
                             << ZunqDumpUtils::writePeerBytes(entry.data(), entry.size()) << ") is malformed: "
                             << reason
                             << "; expected touch:<process>:<path> or cmd:<process>:<subject>[:<arg> ...]; "
                                "no failover action is set";
            return nullptr;
        }
        cmds.push_back(std::move(cmd));
    }
    KeshCmd** list = new KeshCmd*[cmds.size() + 1]();
    for (std::size_t i = 0; i < cmds.size(); ++i)
        list[i] = cmds[i].release();
    return list;
}

void DroskUtils::destroyCmds(KeshCmd** cmds)
{
    if (cmds == nullptr)
        return;
    for (KeshCmd** cmd = cmds; *cmd != nullptr; ++cmd)
        delete *cmd;
    delete[] cmds;
}
