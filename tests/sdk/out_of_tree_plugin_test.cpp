// A tool built out of tree against the installed host package: the host checks its version
// record, loads it, creates an instance, renders a frame through it and unloads it.
#include "host/image.h"
#include "host/operator.h"
#include "host/plugin_loader.h"
#include "host/registry.h"
#include "host/request.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

TEST(OutOfTreePlugin, LoadsRendersAndUnloadsLikeTheShippedTool)
{
    const std::filesystem::path file = QUALVEX_EXAMPLE_PLUGIN;
    ASSERT_TRUE(std::filesystem::is_regular_file(file)) << file;
    auto plugin = host::LoadPlugin(file);
    EXPECT_EQ(plugin->Record().Get("ProductName"), "InvertAlpha");
    const Registry* entry = host::FindClass("Example.InvertAlpha");
    ASSERT_NE(entry, nullptr);
    {
        std::unique_ptr<Operator> tool = host::CreateInstance(*entry);
        Image source(2, 1, PixelStorage::Float, false);
        Pixel pixel;
        pixel.R = 0.5f;
        pixel.A = 0.25f;
        source.SetPixel(0, 0, pixel);
        pixel.A = 1.0f;
        source.SetPixel(1, 0, pixel);
        tool->FindInput("Image")->ConnectImage(&source);
        const std::unique_ptr<Image> result = host::RenderFrame(*tool, 0.0);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(result->GetPixel(0, 0).A, 0.75f);
        EXPECT_EQ(result->GetPixel(0, 0).R, 0.5f);
        EXPECT_EQ(result->GetPixel(1, 0).A, 0.0f);
        tool->FindInput("Image")->ConnectImage(nullptr);
    }
    plugin->Unload();
    EXPECT_EQ(host::FindClass("Example.InvertAlpha"), nullptr);
}

}  // namespace
