// The main of every test program. It is an object of the test itself, so it
// stands even when a library the test links (the host library) supplies a
// main of its own for the programs built on it.
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
