// Helpers of the tests that run a framework process of their own: short
// unique ids, polling with a limit, and running a command for its output.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <thread>

namespace processtest
{
// Base-36 text of value: agent and application ids of a few characters.
inline std::string base36(unsigned long value)
{
    std::string text;
    do
    {
        text.insert(text.begin(), "0123456789abcdefghijklmnopqrstuvwxyz"[value % 36]);
        value /= 36;
    } while (value != 0);
    return text;
}

struct ToolResult
{
    int rc;
    std::string out;
};

// A shell command's exit status and its standard output and error together.
inline ToolResult runCommand(const std::string& command)
{
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    std::string out;
    char buf[512];
    while (pipe != nullptr && fgets(buf, sizeof(buf), pipe) != nullptr)
        out += buf;
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// True once pred holds, false when limit passed first.
template <typename Pred>
bool waitFor(Pred pred, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}
} // namespace processtest
