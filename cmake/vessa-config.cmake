# Imported by find_package(vessa): defines vessa::vessa, the header-only
# routing library, and vessa::router, its name from 0.1. vessa::vessa
# links the thread library, which concurrent_router and inbox need.
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include("${CMAKE_CURRENT_LIST_DIR}/vessa-targets.cmake")
if(NOT TARGET vessa::router)
  add_library(vessa::router ALIAS vessa::vessa)
endif()
