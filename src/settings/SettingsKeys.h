// Every settings key of the module, in one place. Per-camera keys end in the
// camera number (index + 1, two digits); CameraKey formats them.
#pragma once

#include <string>

namespace settings {

inline constexpr wchar_t kSection[] = L"CONFIG";

// TELVOR.INI
inline constexpr wchar_t kFilters[] = L"FILTERS";
inline constexpr wchar_t kVideoName[] = L"FILTER.VIDEO.NAME.%02d";
inline constexpr wchar_t kAudioName[] = L"FILTER.AUDIO.NAME.%02d";
inline constexpr wchar_t kColorSpace[] = L"FILTER.COLORSPACE.%02d";
inline constexpr wchar_t kDefaultOutputWidth[] = L"FILTER.DEFAULT.OUTPUT.W.%02d";
inline constexpr wchar_t kDefaultOutputHeight[] = L"FILTER.DEFAULT.OUTPUT.H.%02d";
inline constexpr wchar_t kFps[] = L"FILTER.FPS.%02d";
inline constexpr wchar_t kScaleStyle[] = L"FILTER.SCALE.STYLE.%02d";
inline constexpr wchar_t kVideoPinName[] = L"FILTER.VIDEO.PINNAME.%02d";
inline constexpr wchar_t kDeinterlacing[] = L"FILTER.DEINTERLACING.%02d";
// An image file shown while no producer feeds the camera; relative to the module's folder.
inline constexpr wchar_t kIdleImage[] = L"FILTER.IDLE.IMAGE.%02d";

// Per-camera format file (FormatFilePath): the output-size list, numbered
// from 01 by position.
inline constexpr wchar_t kOutputWidth[] = L"FILTER.OUTPUT.W.%02d";
inline constexpr wchar_t kOutputHeight[] = L"FILTER.OUTPUT.H.%02d";

// Defaults that more than one reader needs.
inline constexpr int kDefaultFilterCount = 1;
inline constexpr wchar_t kDefaultColorSpace[] = L"YV12";
inline constexpr wchar_t kDefaultFps[] = L"30.0";
inline constexpr wchar_t kDefaultVideoPinName[] = L"Output";
inline constexpr int kDefaultDeinterlacing = 1;

// A key pattern formatted with a number: the camera number N+1 for camera
// index N, or a list position for the output-size keys.
std::wstring NumberedKey(const wchar_t* pattern, int number);
inline std::wstring CameraKey(const wchar_t* pattern, int cameraIndex) { return NumberedKey(pattern, cameraIndex + 1); }

// "<formatPath>.NN.INI" for a camera index; empty when it would not fit a path.
std::wstring FormatFilePath(const wchar_t* formatPath, int cameraIndex);

}  // namespace settings
