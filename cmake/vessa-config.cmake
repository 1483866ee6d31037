# Imported by find_package(vessa): defines vessa::router, the header-only
# routing library.
include("${CMAKE_CURRENT_LIST_DIR}/vessa-targets.cmake")
