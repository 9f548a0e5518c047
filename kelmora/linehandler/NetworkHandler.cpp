#include "kelmora/linehandler/NetworkHandler.h"

#include "kelmora/linehandler/NetworkHandlerImpl.h"
#include "zunq/log/Log.h"

NetworkHandler::NetworkHandler(TarvokSession& session, Log& log)
    : mPimpl(std::make_unique<NetworkHandlerImpl>(*this, session, log)), mLogger(log)
{
}

NetworkHandler::~NetworkHandler() = default;

void NetworkHandler::logUnknownEvent(const char* className, int id)
{
    mLogger.info() << className << "::onNetworkEvent(" << mFeedName << ") received event|" << id << "|";
}
