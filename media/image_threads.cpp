// Where the image library does its coding work (image_writer.h).
#include "media/image_library.h"

#include <OpenImageIO/imageio.h>

namespace qualvex::image_library {

void CodeImagesInCallingThreads(bool callingThreadsOnly)
{
    // OpenEXR's pool: -1 runs every block in the calling thread; 0 gives it as many threads as
    // the image library has (one per core unless told otherwise). The other formats read and
    // write in the calling thread anyway.
    OIIO::attribute("exr_threads", callingThreadsOnly ? -1 : 0);
}

}  // namespace qualvex::image_library
