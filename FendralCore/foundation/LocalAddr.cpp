#include "FendralCore/foundation/LocalAddr.h"

bool LocalAddr::isLocal(uint32 wanted)
{
    bool found = false;
    forEach([&](in_addr_t addr, in_addr_t) { return found = (addr == wanted); });
    return found;
}

bool LocalAddr::bySubnet(uint32 subnet, uint32& addr)
{
    bool found = false;
    const bool listed = forEach([&](in_addr_t local, in_addr_t mask) {
        if (mask == 0 || (local & mask) != subnet)
            return false;
        addr = local;
        return found = true;
    });
    return listed && found;
}
