# One version for every binary: a VERSIONINFO resource per target and a
# header with the same numbers for what the programs print and log.
set(TELVOR_PRODUCT_NAME "TELVOR virtual camera")
configure_file(${CMAKE_CURRENT_LIST_DIR}/telvor_version.h.in ${CMAKE_BINARY_DIR}/generated/telvor_version.h @ONLY)
include_directories(${CMAKE_BINARY_DIR}/generated)

# Adds a version resource to `target`, a DLL or an EXE, described by `description`.
function(telvor_version_resource target description)
  if(NOT TELVOR_WINDOWS)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(file_type "0x1L")
  else()
    set(file_type "0x2L")
  endif()
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    string(APPEND description " (64-bit)")
  else()
    string(APPEND description " (32-bit)")
  endif()
  set(v ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  file(GENERATE OUTPUT ${rc} CONTENT "#include <winver.h>
1 VERSIONINFO
FILEVERSION ${v}
PRODUCTVERSION ${v}
FILEFLAGSMASK 0x3fL
FILEFLAGS 0x0L
FILEOS VOS_NT_WINDOWS32
FILETYPE ${file_type}
FILESUBTYPE 0x0L
BEGIN
  BLOCK \"StringFileInfo\"
  BEGIN
    BLOCK \"040904b0\"
    BEGIN
      VALUE \"CompanyName\", \"TELVOR\"
      VALUE \"FileDescription\", \"${description}\"
      VALUE \"FileVersion\", \"${PROJECT_VERSION}\"
      VALUE \"InternalName\", \"$<TARGET_FILE_BASE_NAME:${target}>\"
      VALUE \"OriginalFilename\", \"$<TARGET_FILE_NAME:${target}>\"
      VALUE \"ProductName\", \"${TELVOR_PRODUCT_NAME}\"
      VALUE \"ProductVersion\", \"${PROJECT_VERSION}\"
    END
  END
  BLOCK \"VarFileInfo\"
  BEGIN
    VALUE \"Translation\", 0x409, 1200
  END
END
")
  target_sources(${target} PRIVATE ${rc})
endfunction()
