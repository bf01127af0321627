// Loads the built QualvexFinish.plugin through the host, as a program would, for the length of a
// test.
#pragma once

#include "host/operator.h"
#include "host/plugin_loader.h"
#include "host/registry.h"

#include <gtest/gtest.h>

#include <memory>

namespace qualvex::finish::testing {

inline constexpr const char* kFinisherClass = "Tavelorn.QualvexFinish";

class LoadedFinisher : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The registered class; throws when it is missing.
    const Registry& Class() const;
    std::unique_ptr<Operator> NewInstance() const;
    // Sets a number input of an instance through the host, as a user edit would.
    static void Set(Operator& op, const char* id, double value);

    std::unique_ptr<host::LoadedPlugin> m_Plugin;
};

}  // namespace qualvex::finish::testing
