// Flows: an ordered chain of tool instances that renders one frame. The source image goes to the
// first tool's "Image" input; each tool's output goes to the next tool's "Image" input through
// that tool's own render request; the last tool's output is the frame. Tools never see each
// other, only the images the flow hands them.
#pragma once

#include "host/image.h"
#include "host/parameter.h"

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class Input;
class Operator;
class Output;

namespace host {

// A render that could not finish, such as a tool that handed over no image; names the step and
// the tool's class.
class FlowError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Flow {
public:
    // The input each step's main image arrives on.
    static constexpr const char* MainInput = "Image";

    Flow() = default;
    Flow(const Flow&) = delete;
    Flow& operator=(const Flow&) = delete;
    Flow(Flow&&) = default;
    Flow& operator=(Flow&&) = default;

    // Appends a tool instance as the next step and returns its step number (0 for the first).
    // The flow borrows the instance: it must outlive the flow. Throws std::invalid_argument when
    // the tool has no image input "Image" or no output `outputID`.
    std::size_t Append(Operator& tool, std::string outputID = "Output");
    std::size_t Steps() const { return m_Steps.size(); }

    // Connects `image` (borrowed; null disconnects) to another image input of a step, such as
    // the keyer's "KeyImage" or a garbage matte, for every render that follows. Throws
    // std::invalid_argument for a step the flow does not have, an input the tool does not have or
    // that takes no image, and for "Image", which the flow connects itself.
    void Connect(std::size_t step, std::string_view inputID, Image* image);

    // Renders one frame at `time` through every step in order and returns the last output. A
    // step's image inputs are connected only while it renders, and left as they were before
    // afterwards; each intermediate image is released as soon as the step after it has
    // rendered. Throws FlowError when the flow has no steps or a step hands over no image;
    // exceptions from a tool pass through. Either way nothing the flow made is left behind.
    // One frame at a time per flow: flows that render at once need instances of their own.
    std::unique_ptr<Image> Render(Image& source, TimeStamp time);

private:
    struct Step {
        Operator* Tool;
        Input* Main;
        std::string OutputID;
        std::vector<std::pair<Input*, Image*>> Extra;  // in the order first connected
    };

    std::vector<Step> m_Steps;
};

}  // namespace host
