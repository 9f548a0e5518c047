#include "zunq/log/LogRegistry.h"

namespace LogRegistry
{
Log* g_logger = nullptr;
}
