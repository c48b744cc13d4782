# SoundTouch for the Windows build: the static library that scripts/windows-soundtouch.sh makes
# from Debian's source package (the native library's version, float samples). The script is
# run at every configure; it returns at once when its cached build is current.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_velomix_st_arch x86_64)
else()
  set(_velomix_st_arch i686)
endif()
set(VELOMIX_SOUNDTOUCH_ROOT "${PROJECT_SOURCE_DIR}/build/windows-deps/soundtouch-${_velomix_st_arch}"
    CACHE PATH "SoundTouch built for this Windows architecture (include/, lib/libSoundTouch.a)")

execute_process(
  COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/windows-soundtouch.sh ${_velomix_st_arch}
          ${VELOMIX_SOUNDTOUCH_ROOT}
  RESULT_VARIABLE _velomix_st_result)
if(NOT _velomix_st_result EQUAL 0 OR NOT EXISTS ${VELOMIX_SOUNDTOUCH_ROOT}/lib/libSoundTouch.a)
  message(FATAL_ERROR "SoundTouch for Windows (${_velomix_st_arch}) could not be built")
endif()

# Imported: its headers come in as SYSTEM, like the native package's.
add_library(velomix_soundtouch STATIC IMPORTED GLOBAL)
set_target_properties(velomix_soundtouch PROPERTIES
  IMPORTED_LOCATION ${VELOMIX_SOUNDTOUCH_ROOT}/lib/libSoundTouch.a
  INTERFACE_INCLUDE_DIRECTORIES ${VELOMIX_SOUNDTOUCH_ROOT}/include
  INTERFACE_COMPILE_DEFINITIONS SOUNDTOUCH_FLOAT_SAMPLES=1)
unset(_velomix_st_arch)
unset(_velomix_st_result)
