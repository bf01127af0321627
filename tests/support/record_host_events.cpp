// Linked into the test programs that read the host's record of what it did to each operator:
// switches the record on before the first test.
#include "host/host_testing.h"

#include <gtest/gtest.h>

namespace {

class RecordHostEvents : public ::testing::Environment {
public:
    void SetUp() override { host::testing::RecordHostEvents(true); }
};

[[maybe_unused]] ::testing::Environment* const kRecordHostEvents =
    ::testing::AddGlobalTestEnvironment(new RecordHostEvents);

}  // namespace
