// qualvex-movies.so: the movie libraries' calls, which the command-line program's commands load
// the first time they read or write a movie. Its one entry point, QualvexMovieLibrary, comes with
// qualvex_media_movies (movie_library_table.cpp).
#include "media/movie_library.h"
