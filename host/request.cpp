#include "host/request.h"

#include "host/host_testing.h"
#include "host/operator.h"

#include <stdexcept>

namespace {

// A copy of a control's value, so that later edits do not reach a request already made.
std::unique_ptr<Parameter> CopyOfValue(const Parameter* value)
{
    if (const auto* number = dynamic_cast<const Number*>(value))
        return std::make_unique<Number>(number->Value);
    if (const auto* text = dynamic_cast<const Text*>(value))
        return std::make_unique<Text>(text->Value);
    return nullptr;
}

}  // namespace

Request::Request(Operator& op, TimeStamp time) : m_Operator(op), m_Time(time)
{
    for (const auto& input : op.Inputs()) {
        if (input->IsImageInput()) {
            m_Inputs[input.get()] = input->ConnectedImage();
        } else if (std::unique_ptr<Parameter> copy = CopyOfValue(input->Value())) {
            m_Inputs[input.get()] = copy.get();
            m_Values.push_back(std::move(copy));
        }
    }
}

Request::~Request() = default;

Parameter* Request::GetInputData(Input* input, int)
{
    host::testing::CountHostCall("GetInputData");
    auto found = m_Inputs.find(input);
    if (found == m_Inputs.end())
        throw std::invalid_argument("GetInputData: the input does not belong to the requested operator");
    m_ReadLog.push_back(input->ID());
    return found->second;
}

bool Request::SetOutputData(Output* output, Parameter* data)
{
    std::unique_ptr<Parameter> owned(data);
    host::testing::CountHostCall("SetOutputData");
    if (output == nullptr || output->Owner() != &m_Operator)
        throw std::invalid_argument("SetOutputData: the output does not belong to the requested operator");
    m_Outputs[output] = std::move(owned);
    return true;
}

void Request::SetInputData(Input* input, Parameter* data) { m_Inputs[input] = data; }

Parameter* Request::GetOutputData(Output* output) const
{
    auto found = m_Outputs.find(output);
    return found == m_Outputs.end() ? nullptr : found->second.get();
}

std::unique_ptr<Parameter> Request::TakeOutputData(Output* output)
{
    auto found = m_Outputs.find(output);
    if (found == m_Outputs.end())
        return nullptr;
    std::unique_ptr<Parameter> data = std::move(found->second);
    m_Outputs.erase(found);
    return data;
}

namespace host {

std::unique_ptr<Image> RenderFrame(Operator& op, TimeStamp time, const char* outputID)
{
    Output* output = op.FindOutput(outputID);
    if (output == nullptr)
        throw std::invalid_argument(std::string("RenderFrame: the operator has no output \"") + outputID + "\"");
    Request request(op, time);
    op.Process(&request);
    std::unique_ptr<Parameter> result = request.TakeOutputData(output);
    if (result != nullptr && result->Kind() != ParameterKind::Image)
        throw std::runtime_error(std::string("RenderFrame: output \"") + outputID + "\" received no image");
    return std::unique_ptr<Image>(static_cast<Image*>(result.release()));
}

}  // namespace host
