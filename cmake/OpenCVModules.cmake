# Debian ships OpenCV's modules as separate -dev packages without a CMake package file (that
# comes only with the all-modules libopencv-dev), so each module used is found by hand and
# offered as an imported target opencv::<module>.
#
# The Windows build's OpenCV is a static build from Debian's source (scripts/windows-libs) whose
# library files carry the version in their names; its CMake package file knows them and their
# dependencies.
function(velvix_find_opencv_modules)
    if(WIN32)
        # OpenCV's dnn module, linked statically, names protobuf's target without finding it.
        find_package(protobuf CONFIG QUIET)
        find_package(OpenCV CONFIG QUIET)
        foreach(module IN LISTS ARGN)
            if(TARGET opencv_${module} AND NOT TARGET opencv::${module})
                add_library(opencv::${module} INTERFACE IMPORTED GLOBAL)
                target_link_libraries(opencv::${module} INTERFACE opencv_${module})
            endif()
        endforeach()
        return()
    endif()
    find_path(VELVIX_OPENCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4)
    foreach(module IN LISTS ARGN)
        if(TARGET opencv::${module})
            continue()
        endif()
        find_library(VELVIX_OPENCV_${module}_LIBRARY opencv_${module})
        if(VELVIX_OPENCV_INCLUDE_DIR AND VELVIX_OPENCV_${module}_LIBRARY)
            add_library(opencv::${module} UNKNOWN IMPORTED GLOBAL)
            set_target_properties(opencv::${module} PROPERTIES
                IMPORTED_LOCATION "${VELVIX_OPENCV_${module}_LIBRARY}"
                INTERFACE_INCLUDE_DIRECTORIES "${VELVIX_OPENCV_INCLUDE_DIR}")
        endif()
    endforeach()
endfunction()
