#include "zunq/bus/OrluSubscriberBase.h"

OrluSubscriberBase::OrluSubscriberBase(const std::string& name)
    : mName(name)
{
}

OrluSubscriberBase::~OrluSubscriberBase() = default;
