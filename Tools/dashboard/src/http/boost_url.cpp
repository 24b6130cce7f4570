// Boost.URL's compiled part, built here once: Debian ships its headers but no library of it.
#include <boost/url/src.hpp>
