#include "zunq/admin/KeshInterface.h"

KeshInterface::~KeshInterface() = default;
