// qualvex-images.so: the image library's calls, which the command-line program's commands load
// the first time they read or write an image file. Its one entry point, QualvexImageLibrary,
// comes with qualvex_media_images (image_library_table.cpp).
#include "media/image_library.h"
