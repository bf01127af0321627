#include "render/pixel_matte.h"

namespace qualvex {

MatteFrame PrepareMatteFrame(const FrameSettings& settings)
{
    MatteFrame frame{};
    frame.Settings = settings;
    double widest = 0.0;
    for (int i = 0; i < 3; ++i) {
        double width = settings.Min[i] + settings.Max[i];
        // A window of no width (or a NaN one) would key nothing and divide by zero: 0.001 instead.
        if (width == 0.0 || std::isnan(width))
            width = 0.001;
        frame.Width[i] = width;
        if (i == 0 || width > widest)
            widest = width;
    }
    frame.FadeExtent = widest * settings.Fade;
    frame.ApplyGamma = settings.Gamma != 0.0 && !std::isnan(settings.Gamma);
    // Gamma 0 skips the step, so the division only happens for other values.
    frame.InverseGamma = frame.ApplyGamma ? 1.0 / settings.Gamma : 1.0;
    frame.GammaIsOne = frame.InverseGamma == 1.0;
    frame.Invert = settings.Invert == 1;
    frame.ColorCorrect = settings.ColorCorrect == 1;
    return frame;
}

}  // namespace qualvex
