#include "fit/tool_render.h"

#include "host/image.h"
#include "host/operator.h"
#include "host/parameter.h"
#include "host/request.h"

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

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
    // A row at a time: the last row is filled up with the last colour. Every image the host makes
    // offers rows.
    std::vector<float> b(static_cast<std::size_t>(width)), g(b.size()), r(b.size()), a(b.size(), 1.0f);
    for (std::int32_t y = 0; y < height; ++y) {
        for (std::int32_t x = 0; x < width; ++x) {
            const Rgb& c = colours[static_cast<std::size_t>(std::min(y * width + x, count - 1))];
            const auto k = static_cast<std::size_t>(x);
            r[k] = c.R;
            g[k] = c.G;
            b[k] = c.B;
        }
        source.WriteRow(&source, y, 0, width, b.data(), g.data(), r.data(), a.data());
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
    rendered.Alpha.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (std::int32_t y = 0; y < height; ++y) {
        float* alpha = rendered.Alpha.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        if (keyed->ReadRow == nullptr) {
            for (std::int32_t x = 0; x < width; ++x)
                alpha[x] = keyed->GetPixel(x, y).A;
            continue;
        }
        // The colour is read only to be dropped: b, g and r are spare here.
        keyed->ReadRow(keyed.get(), y, 0, width, b.data(), g.data(), r.data(), alpha);
    }
    rendered.Alpha.resize(colours.size());  // the filled-up end of the last row goes
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
