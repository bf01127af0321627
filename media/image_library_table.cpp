// The image library's calls as a table, where they are linked in: every program but the
// command-line one, whose commands load it as a module (see image_library.h).
#include "media/image_library.h"

extern "C" [[gnu::visibility("default")]] const qualvex::image_library::Calls* QualvexImageLibrary()
{
    using namespace qualvex::image_library;
    static const Calls calls{sizeof(Calls),     QUALVEX_VERSION,    InspectImage,       ReadImageFile,
                             HasAlphaChannel,   WriteImageFile,     EncodeImageFile,    WriteRgb8Png,
                             EncodePng,         LookUpOutputFormat, ReadSettingsRecord, CodeImagesInCallingThreads};
    return &calls;
}
