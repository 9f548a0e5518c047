// Failover actions: the text an operator configures for what a process does
// when it becomes active, parsed into a list of commands for the admin
// client to run. The text is a list of entries separated by ';':
//
//   touch:<process>:<path>                  create the file <path> (a flag
//                                           another process watches)
//   cmd:<process>:<subject>[:<arg> ...]     run the admin request <subject>
//                                           with the blank-separated words
//                                           after the third ':' as arguments
//
// Blanks around an entry and its fields are ignored, an empty entry is
// skipped, and a path may itself hold ':'. Any other entry makes the whole
// text malformed: nothing is returned and a line says which entry and why.
// Any thread.
#pragma once

#include <cstdint>

class Log;

class DroskUtils
{
public:
    enum CmdType : std::uint8_t
    {
        TOUCH = 1,
        COMMAND = 2,
    };

    // One parsed action; it owns its texts.
    struct KeshCmd
    {
        KeshCmd() = default;
        ~KeshCmd();
        KeshCmd(const KeshCmd&) = delete;
        KeshCmd& operator=(const KeshCmd&) = delete;

        char* mSubject = nullptr;  // the path of a touch action, the admin subject of a command
        char* mProcess = nullptr;  // the process the action concerns
        char** mpArgv = nullptr;   // the command's argument words, null-terminated (none for a touch)
        std::uint8_t mType = COMMAND;
        bool mSynchronousCmd = false; // not used
        void* mListener = nullptr;    // not used
    };

    // The actions of `text` as a new null-terminated array (only the null
    // for a text without entries); destroyCmds frees it. Null for a null
    // text, and for a malformed one after a line in `log` (the process log
    // when none is given).
    static KeshCmd** constructCmds(const char* text, Log* log = nullptr);
    static void destroyCmds(KeshCmd** cmds);
};
