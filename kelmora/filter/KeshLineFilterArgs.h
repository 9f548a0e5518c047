// Argument reading shared by the line filter's admin methods. Arguments come
// from operators: a number is whole decimal text within 32 bits, and anything
// else is a usage error that changes nothing.
#pragma once

#include "zunq/admin/KeshParam.h"
#include "zunq/admin/KeshParamList.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace keshargs
{

// The argument named `name`, else the one at `position`; null when neither exists.
inline const KeshParam* find(const KeshParamList& in, const std::string& name, std::size_t position)
{
    const KeshParam* param = in.getParam(name);
    return param != nullptr ? param : in.getParam(position);
}

// Unsigned decimal text within 32 bits; throws KeshUsageError otherwise.
std::uint32_t readSeqNum(const KeshParam& param);

} // namespace keshargs
