// Switches the process between its main and its backup line handlers: every
// BackupLineChange, from any sub-feed and whatever it carries, connects the
// handlers of the idle side and then disconnects those of the active side.
//
// Changes may be published on several threads at once; the state flips
// under a lock, and each handler's connect and disconnect are carried to the
// handler's own session thread by a thread message (called directly when
// the publisher is on that thread). Handlers are added at start-up, before
// the framework runs.
#pragma once

#include "kelmora/bus/BackupLineChange.h"
#include "kelmora/runtime/InitModule.h"
#include "kelmora/thread/ThreadData.h"
#include "zunq/bus/Orlu.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

class LineHandler;
class Log;
class Runnable;

class BackupLineControl : public OrluSubscriber<BackupLineChange>
{
public:
    static constexpr std::uint32_t cThreadDataType = Zunq::APPLICATION_RESERVED - 30;

    explicit BackupLineControl(Log& log);
    ~BackupLineControl() override;

    BackupLineControl(const BackupLineControl&) = delete;
    BackupLineControl& operator=(const BackupLineControl&) = delete;

    // Appended unless the list already holds that handler.
    void addMainLineConnection(LineHandler* handler);
    void addBackupLineConnection(LineHandler* handler);
    void onData(const Orlu<BackupLineChange>& orlu, const std::string& name, const BackupLineChange& change) override;

    bool connectedToMainLine() const;

private:
    class HopTaker;
    void add(std::vector<LineHandler*>& list, LineHandler* handler);
    void listen(LineHandler* handler);
    // Runs `connect` (or disconnect) of the handler on the handler's thread.
    void act(LineHandler* handler, bool connect);

    std::vector<LineHandler*> mMainLineList;
    std::vector<LineHandler*> mBackupLineList;
    std::atomic<bool> mConnectedToMainLine{true};
    Log& mLog;
    std::mutex mSwitchLock;
    std::unique_ptr<HopTaker> mHopTaker;
    std::set<Runnable*> mListening;
};

// Factory "BackupLineControl" (priority 300): one control in the default
// group, subscribed to the "OrluBackupLineChange" channel of every sub-feed.
template <>
bool InitModule<BackupLineControl>::createModule(ModuleList* list, ZunqConfigManager* config);
