#include "fit/tool_render.h"

#include "host/image.h"
#include "host/operator.h"
#include "host/parameter.h"
#include "host/request.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace qualvex::fit {
namespace {

constexpr std::int32_t kRowLength = 512;

std::size_t PagePosition(const Operator& op, const std::string& id)
{
    const auto& inputs = op.Inputs();
    for (std::size_t i = 0; i < inputs.size(); ++i)
        if (inputs[i]->ID() == id)
            return i;
    throw std::invalid_argument("the tool has no control \"" + id + "\"");
}

}  // namespace

void SetInPageOrder(Operator& op, const std::vector<ControlValue>& controls)
{
    std::vector<std::pair<std::size_t, const ControlValue*>> ordered;
    for (const ControlValue& control : controls)
        ordered.emplace_back(PagePosition(op, control.ID), &control);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [position, control] : ordered) {
        AutoNumber number(control->Value);
        op.Inputs()[position]->SetValueAt(number, 0.0);
    }
}

namespace {

double NumberOf(const Operator& op, const char* id)
{
    const Input* input = op.FindInput(id);
    if (input == nullptr)
        throw std::invalid_argument(std::string("the tool has no control \"") + id + "\"");
    return input->NumberValue();
}

Rendered RenderColours(Operator& op, const std::vector<Rgb>& colours)
{
    Rendered rendered;
    rendered.ValueSliders[0] = NumberOf(op, "ValueRed");
    rendered.ValueSliders[1] = NumberOf(op, "ValueGreen");
    rendered.ValueSliders[2] = NumberOf(op, "ValueBlue");
    if (colours.empty())
        return rendered;

    const auto count = static_cast<std::int32_t>(colours.size());
    const std::int32_t width = std::min(count, kRowLength);
    const std::int32_t height = (count + width - 1) / width;  // width >= 1
    Image source(width, height, PixelStorage::Float, false);
    for (std::int32_t i = 0; i < width * height; ++i) {
        // The last row is filled up with the last colour.
        const Rgb& c = colours[static_cast<std::size_t>(std::min(i, count - 1))];
        Pixel p;
        p.R = c.R;
        p.G = c.G;
        p.B = c.B;
        p.A = 1.0f;
        source.SetPixel(i % width, i / width, p);  // width >= 1
    }

    Input* image = op.FindInput("Image");
    if (image == nullptr)
        throw std::invalid_argument("the tool has no \"Image\" input");
    image->ConnectImage(&source);
    // The instance must not keep a pointer to the image once it is gone.
    struct Disconnect {
        Input* In;
        ~Disconnect() { In->ConnectImage(nullptr); }
    } disconnect{image};
    const std::unique_ptr<Image> keyed = host::RenderFrame(op, 0.0);
    if (!keyed || keyed->Width != width || keyed->Height != height)
        throw std::runtime_error("the tool rendered no image of the samples");
    rendered.Alpha.reserve(colours.size());
    for (std::int32_t i = 0; i < count; ++i)
        rendered.Alpha.push_back(keyed->GetPixel(i % width, i / width).A);  // width >= 1
    return rendered;
}

}  // namespace

RenderFunction ToolRender(InstanceMaker makeInstance, ControlSetter setControls)
{
    return [makeInstance = std::move(makeInstance), setControls = std::move(setControls)](
               const std::vector<ControlValue>& controls, const std::vector<Rgb>& colours) {
        const std::unique_ptr<Operator> op = makeInstance();
        if (!op)
            throw std::runtime_error("no tool instance to render the samples with");
        setControls(*op, controls);
        Rendered rendered = RenderColours(*op, colours);
        for (const ControlValue& control : controls)
            rendered.Held.push_back(NumberOf(*op, control.ID.c_str()));
        return rendered;
    };
}

}  // namespace qualvex::fit
