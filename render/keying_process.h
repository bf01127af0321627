// The per-frame render: reads the controls and images from the request, keys every pixel of the
// source image and hands the new image to the output.
#pragma once

class Input;
class Output;
class Request;

namespace qualvex {

// The links the render reads, in the order it reads them.
struct KeyerLinks {
    Input* Colorspace;
    Input* BGAlphaBlend;
    Input* ColCor;
    Input* InvAlpha;
    Input* CCAmount;
    Input* DesaturateAlpha;
    Input* Value[3];
    Input* Min[3];
    Input* Max[3];
    Input* Fade;
    Input* GammaAlpha;
    Input* MultAlpha;
    Input* OffAlpha;
    Input* Image;
    Input* KeyImage;
    Output* Out;
};

void RenderKeyedFrame(Request& request, const KeyerLinks& links);

}  // namespace qualvex
