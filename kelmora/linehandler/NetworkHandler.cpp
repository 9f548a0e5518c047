#include "kelmora/linehandler/NetworkHandler.h"

#include "kelmora/linehandler/NetworkHandlerImpl.h"
#include "kelmora/thread/Runnable.h"
#include "zunq/log/Log.h"

NetworkHandler::NetworkHandler(TarvokSession& session, Log& log)
    : mPimpl(std::make_unique<NetworkHandlerImpl>(*this, session, log)), mLogger(log)
{
}

NetworkHandler::~NetworkHandler()
{
    // The thread's delivery would otherwise hand the next event or datagram
    // for this name to freed memory, and a handler built again under the
    // name could never enter the map. An accepted client goes too, entered
    // under its connection's name by its server.
    Runnable::removeNetworkHandler(this);
}

void NetworkHandler::logUnknownEvent(const char* className, int id)
{
    mLogger.info() << className << "::onNetworkEvent(" << mFeedName << ") received event|" << id << "|";
}
