// The admin methods of one module group and the interfaces that publish them.
// Every method is handed to every interface, whichever of the two is added
// first, in the order they were added. A method that names no thread runs on
// the session's thread. Quiet method names mark methods of that name quiet,
// whether they were added before or after the name.
//
// The session owns the methods added to it and deletes them when it is
// destroyed (sessions normally live until the process exits); it does not own
// its interfaces. Sessions are filled on the start-up thread; the calls are
// serialised all the same.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <vector>

class KeshInterface;
class KeshMethod;

class KeshSession
{
public:
    explicit KeshSession(const std::string& threadName = std::string());
    virtual ~KeshSession();

    KeshSession(const KeshSession&) = delete;
    KeshSession& operator=(const KeshSession&) = delete;

    // The thread of the methods that name none, those already held included.
    void setThreadName(const std::string& threadName);
    std::string getThreadName() const;

    // Hands the interface every method held so far. False for null or an interface already added.
    bool addInterface(KeshInterface* interface);
    // Takes ownership and hands the method to every interface. False for null
    // or a method already held (ownership is then unchanged).
    bool addMethod(KeshMethod* method);
    void addQuietMethodName(const std::string& name);
    bool isQuietMethodName(const std::string& name) const;

    std::vector<KeshMethod*> getMethods() const;

private:
    mutable std::recursive_mutex mLock;
    std::string mThreadName;
    std::vector<KeshMethod*> mMethods;
    std::vector<KeshInterface*> mInterfaces;
    std::set<std::string> mQuietNames;
};
