// Stops the private cluster after the test process's last test.
#include "PgCluster.h"

#include <gtest/gtest.h>

namespace
{
class PgEnvironment : public ::testing::Environment
{
public:
    void TearDown() override { PgCluster::stop(); }
};

[[maybe_unused]] ::testing::Environment* const pgEnvironment = ::testing::AddGlobalTestEnvironment(new PgEnvironment);
} // namespace
