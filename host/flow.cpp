#include "host/flow.h"

#include "host/link.h"
#include "host/operator.h"
#include "host/registry.h"
#include "host/request.h"

#include <algorithm>

namespace host {

namespace {

std::string ClassOf(const Operator& tool)
{
    const Registry* entry = tool.GetRegistry();
    return entry != nullptr ? entry->ID().str() : std::string("(unregistered)");
}

// Connects a step's images for the span of its render and puts back what was connected before.
class StepConnections {
public:
    StepConnections() = default;
    StepConnections(const StepConnections&) = delete;
    StepConnections& operator=(const StepConnections&) = delete;
    ~StepConnections()
    {
        for (auto it = m_Previous.rbegin(); it != m_Previous.rend(); ++it)
            it->first->ConnectImage(it->second);
    }

    void Connect(Input* input, Image* image)
    {
        m_Previous.emplace_back(input, input->ConnectedImage());
        input->ConnectImage(image);
    }

private:
    std::vector<std::pair<Input*, Image*>> m_Previous;
};

}  // namespace

std::size_t Flow::Append(Operator& tool, std::string outputID)
{
    Input* main = tool.FindInput(MainInput);
    if (main == nullptr || !main->IsImageInput())
        throw std::invalid_argument("flow: a tool of class \"" + ClassOf(tool) + "\" has no image input \"" +
                                    MainInput + "\"");
    if (tool.FindOutput(outputID) == nullptr)
        throw std::invalid_argument("flow: a tool of class \"" + ClassOf(tool) + "\" has no output \"" + outputID +
                                    "\"");
    m_Steps.push_back(Step{&tool, main, std::move(outputID), {}});
    return m_Steps.size() - 1;
}

void Flow::Connect(std::size_t step, std::string_view inputID, Image* image)
{
    if (step >= m_Steps.size())
        throw std::invalid_argument("flow: there is no step " + std::to_string(step) + " (the flow has " +
                                    std::to_string(m_Steps.size()) + ")");
    Step& s = m_Steps[step];
    const std::string where = "flow step " + std::to_string(step) + " (class \"" + ClassOf(*s.Tool) + "\")";
    Input* input = s.Tool->FindInput(inputID);
    if (input == nullptr)
        throw std::invalid_argument(where + ": no input \"" + std::string(inputID) + "\"");
    if (!input->IsImageInput())
        throw std::invalid_argument(where + ": input \"" + std::string(inputID) + "\" takes no image");
    if (input == s.Main)
        throw std::invalid_argument(where + ": input \"" + std::string(inputID) + "\" is connected by the flow");

    auto found = std::find_if(s.Extra.begin(), s.Extra.end(), [&](const auto& extra) { return extra.first == input; });
    if (image == nullptr) {
        if (found != s.Extra.end())
            s.Extra.erase(found);
    } else if (found != s.Extra.end()) {
        found->second = image;
    } else {
        s.Extra.emplace_back(input, image);
    }
}

std::unique_ptr<Image> Flow::Render(Image& source, TimeStamp time)
{
    if (m_Steps.empty())
        throw FlowError("flow: there are no steps to render");
    std::unique_ptr<Image> current;  // the last step's output, once there is one
    Image* input = &source;
    for (std::size_t i = 0; i < m_Steps.size(); ++i) {
        const Step& step = m_Steps[i];
        std::unique_ptr<Image> output;
        {
            StepConnections connections;
            for (const auto& [extra, image] : step.Extra)
                connections.Connect(extra, image);
            connections.Connect(step.Main, input);
            output = RenderFrame(*step.Tool, time, step.OutputID.c_str());
        }
        if (output == nullptr)
            throw FlowError("flow step " + std::to_string(i) + ": the tool of class \"" + ClassOf(*step.Tool) +
                            "\" produced no image on output \"" + step.OutputID + "\"");
        current = std::move(output);  // the image the step read is no longer needed
        input = current.get();
    }
    return current;
}

}  // namespace host
