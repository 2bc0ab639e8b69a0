#include "probe/tests/probe_test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

std::string UniqueAppName(const std::string& prefix) {
    const std::string name = prefix + std::to_string(getpid()) + "_" +
                             testing::UnitTest::GetInstance()->current_test_info()->name();
    return name.substr(0, 50);
}

