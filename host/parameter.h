// Values that travel between the host and a tool: numbers, texts and images.
#pragma once

#include <string>

using TimeStamp = double;

enum class ParameterKind { Number, Text, Image };

class Parameter {
public:
    Parameter() = default;
    Parameter(const Parameter&) = default;
    Parameter& operator=(const Parameter&) = default;
    virtual ~Parameter();
    virtual ParameterKind Kind() const = 0;
};

class Number : public Parameter {
public:
    explicit Number(double value = 0.0) : Value(value) {}
    ParameterKind Kind() const override { return ParameterKind::Number; }
    operator double() const { return Value; }

    double Value;
};

class Text : public Parameter {
public:
    explicit Text(std::string value = {}) : Value(std::move(value)) {}
    ParameterKind Kind() const override { return ParameterKind::Text; }

    std::string Value;
};

// A scoped number for handing a value to the host for the span of one call.
class AutoNumber {
public:
    explicit AutoNumber(double value);
    AutoNumber(const AutoNumber&) = delete;
    AutoNumber& operator=(const AutoNumber&) = delete;

    operator Number*() { return &m_Number; }
    Number* operator->() { return &m_Number; }

private:
    Number m_Number;
};
