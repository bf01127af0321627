// A tool of the smallest useful kind: one image in, the same image out with its alpha inverted.
// Built against the installed host headers alone.
#include "host/fuid.h"
#include "host/image.h"
#include "host/link.h"
#include "host/operator.h"
#include "host/plugin_version_record.h"
#include "host/registry.h"
#include "host/request.h"
#include "host/tag_list.h"

#include <cstdint>
#include <new>

namespace {

[[gnu::used, gnu::section(HOST_PLUGIN_VERSION_SECTION)]] const char InvertAlphaVersionRecord[] =
    HOST_PLUGIN_VERSION_MAGIC "\0"
    "#FileVersion\0" "0.1.0.0\0"
    "ProductName\0" "InvertAlpha\0"
    "APIVersion\0" HOST_PLUGIN_API_VERSION "\0";

template <typename T>
std::uint64_t Word(T value)
{
    return reinterpret_cast<std::uint64_t>(value);
}

class InvertAlpha : public ThreadedOperator {
public:
    InvertAlpha(const Registry* entry, const ScriptVal& table, const TagList& tags)
        : ThreadedOperator(entry, table, tags)
    {
        const std::uint64_t imageInput[] = {LinkTag::DataType, Word(&CLSID_DataType_Image), LinkTag::MainLink, 1, 0, 0};
        m_Image = AddInputTagList(FuID("Image", true), FuID("Image", true), TagList(imageInput, false));
        const std::uint64_t imageOutput[] = {LinkTag::DataType, Word(&CLSID_DataType_Image), LinkTag::MainLink, 1, 0, 0};
        m_Output = AddOutputTagList(FuID("Output", true), FuID("Output", true), TagList(imageOutput, false));
    }
    std::size_t GetObjectSize() const override { return sizeof(InvertAlpha); }

    void Process(Request* request) override
    {
        Parameter* data = request->GetInputData(m_Image, 0);
        if (data == nullptr || data->Kind() != ParameterKind::Image)
            return;
        auto* source = static_cast<Image*>(data);
        const std::uint64_t model[] = {ImageTag::Model, Word(source), 0, 0};
        Image* output = NewImageTagList(TagList(model, false));
        for (std::int32_t y = 0; y < source->Height; ++y)
            for (std::int32_t x = 0; x < source->Width; ++x) {
                Pixel pixel = source->GetPixel(x, y);
                pixel.A = 1.0f - pixel.A;
                output->SetPixel(x, y, pixel);
            }
        request->SetOutputData(m_Output, output);
    }

private:
    Input* m_Image;
    Output* m_Output;
};

Operator* CreateInvertAlpha(const Registry* entry, const ScriptVal& table, const TagList& tags)
{
    return new (std::nothrow) InvertAlpha(entry, table, tags);
}

const FuID InvertAlphaClassID("Example.InvertAlpha", true);

const std::uint64_t InvertAlphaTags[] = {
    RegTag::RegInit,   Word(&Operator::RegInit),
    RegTag::RegCleanup, Word(&Operator::RegCleanup),
    RegTag::BaseClass, Word(&ThreadedOperator::ClassID),
    RegTag::Creator,   Word(&CreateInvertAlpha),
    RegTag::Name,      Word("Invert Alpha"),
    RegTag::Author,    Word("Example"),
    0,                 0,
};

Registry InvertAlphaRegistry(&ClassRegistry, InvertAlphaClassID, TagList(InvertAlphaTags, false));

}  // namespace
