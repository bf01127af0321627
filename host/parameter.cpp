#include "host/parameter.h"

#include "host/host_testing.h"

Parameter::~Parameter() = default;

AutoNumber::AutoNumber(double value) : m_Number(value) { host::testing::CountHostCall("AutoNumber"); }
