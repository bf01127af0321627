// Render requests: what the host hands an operator's Process for one point in time.
#pragma once

#include "host/image.h"
#include "host/link.h"
#include "host/parameter.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

class Operator;

class Request {
public:
    // Takes a copy of each input's current value (a number or a text) and each connected image
    // input's image.
    Request(Operator& op, TimeStamp time);
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    ~Request();

    TimeStamp Time() const { return m_Time; }

    // The input's value for this request: a Number (or a Text) for a control, the Image for an
    // image input (null when none is delivered).
    Parameter* GetInputData(Input* input, int slot);
    // Takes the image as the output's result; the request owns it from then on.
    bool SetOutputData(Output* output, Parameter* data);

    // Host side: replace what an input delivers (for example a connected input with no image).
    void SetInputData(Input* input, Parameter* data);
    Parameter* GetOutputData(Output* output) const;
    // Hands the output's result to the caller.
    std::unique_ptr<Parameter> TakeOutputData(Output* output);
    // IDs of the inputs read through GetInputData, in the order read.
    const std::vector<std::string>& ReadLog() const { return m_ReadLog; }

private:
    Operator& m_Operator;
    TimeStamp m_Time;
    std::map<const Input*, Parameter*> m_Inputs;
    std::vector<std::unique_ptr<Parameter>> m_Values;
    std::map<const Output*, std::unique_ptr<Parameter>> m_Outputs;
    std::vector<std::string> m_ReadLog;
};

namespace host {

// Renders one frame of an operator through Process and returns the image it handed to the output
// with the given ID (null when it handed none).
std::unique_ptr<Image> RenderFrame(Operator& op, TimeStamp time, const char* outputID = "Output");

}  // namespace host
