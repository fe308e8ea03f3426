#include "propertypage/KT0519PropDlg.h"

#include <dshow.h>

#include <cwchar>
#include <new>

#include "base/Log.h"
#include "propertypage/PageResources.h"

namespace {

constexpr wchar_t kUnit[] = L"KT0519PropDlg";

struct ColorSpace {
  const wchar_t* text;
  const GUID* subtype;
  const wchar_t* traceLine;
};

// Combo position = table position.
constexpr ColorSpace kColorSpaces[] = {
    {L"YUY2", &MEDIASUBTYPE_YUY2, L"SetSubType: MEDIASUBTYPE_YUY2"},
    {L"YV12", &MEDIASUBTYPE_YV12, L"SetSubType: MEDIASUBTYPE_YV12"},
    {L"RGB24", &MEDIASUBTYPE_RGB24, L"SetSubType: MEDIASUBTYPE_RGB24"},
    {L"RGB32", &MEDIASUBTYPE_RGB32, L"SetSubType: MEDIASUBTYPE_RGB32"},
};
constexpr int kColorSpaceCount = static_cast<int>(sizeof(kColorSpaces) / sizeof(kColorSpaces[0]));

// Identifiers this page claims as its own, whether or not a control uses them,
// so that commands in the range never fall through to the frame.
constexpr int kFirstCommandId = 1001;
constexpr int kLastCommandId = 1012;

constexpr wchar_t kSizeFormat[] = L"%d x %d";
constexpr int kSizeTextChars = 1024;

// Properties of the capture hardware the control interface was designed for;
// asked at initialisation although no control shows them.
constexpr UINT kHardwareProperty235 = 235;
constexpr UINT kHardwareProperty234 = 234;

}  // namespace

KT0519PropDlg::KT0519PropDlg(LPUNKNOWN outer, int cameraIndex)
    : CBasePropertyPage(nullptr, outer, IDD_VIDEO_PAGE, IDS_VIDEO_PAGE_TITLE), m_cameraIndex(cameraIndex) {}

// Page hooks

HRESULT KT0519PropDlg::OnConnect(IUnknown* object) {
  telvor::Trace() << L"KT0519PropDlg::OnConnect: " << m_cameraIndex;
  return object->QueryInterface(IID_ICorvaneVideoStream, m_pStream.PutVoid());
}

HRESULT KT0519PropDlg::OnDisconnect() {
  telvor::Trace() << L"KT0519PropDlg::OnDisconnect: " << m_cameraIndex;
  m_pStream.Reset();
  return S_OK;
}

HRESULT KT0519PropDlg::OnDeactivate() {
  telvor::Trace() << L"KT0519PropDlg::OnDeactivate: " << m_cameraIndex;
  return S_OK;
}

INT_PTR KT0519PropDlg::OnReceiveMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog(dialog);
    case WM_COMMAND:
      return OnCommand(dialog, wParam, reinterpret_cast<HWND>(lParam));
    case WM_TIMER:
      return TRUE;
    default:
      return CBasePropertyPage::OnReceiveMessage(dialog, message, wParam, lParam);
  }
}

// Dialog

BOOL KT0519PropDlg::OnInitDialog(HWND dialog) {
  TELVOR_TRACE_AT(kUnit, L"KT0519PropDlg::OnInitDialog");
  FillColorSpaces(GetDlgItem(dialog, IDC_COLOR_SPACE));
  FillOutputSizes(GetDlgItem(dialog, IDC_OUTPUT_SIZE));
  if (m_pStream) {
    // No control shows these; the pin answers them only for hosts that
    // expect the hardware's interface to be probed.
    UINT input = 0;
    LONG value = 0;
    m_pStream->GetInput(&input);
    m_pStream->GetProperty(kHardwareProperty235, &value);
    m_pStream->GetProperty(kHardwareProperty234, &value);
  }
  return TRUE;
}

void KT0519PropDlg::FillColorSpaces(HWND combo) {
  for (const ColorSpace& space : kColorSpaces) {
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(space.text));
  }
  GUID subtype = GUID_NULL;
  if (!m_pStream || FAILED(m_pStream->GetSubType(&subtype))) return;
  for (int i = 0; i < kColorSpaceCount; ++i) {
    if (IsEqualGUID(subtype, *kColorSpaces[i].subtype)) {
      SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
      return;
    }
  }
}

void KT0519PropDlg::FillOutputSizes(HWND combo) {
  m_sizes.clear();
  if (!m_pStream) return;
  for (INT index = 0;; ++index) {
    OutputSize size = {};
    if (FAILED(m_pStream->GetSupportedSize(index, &size.width, &size.height))) break;
    // This runs inside the dialog procedure, where nothing may be thrown:
    // without memory the list simply ends here.
    try {
      m_sizes.push_back(size);
    } catch (const std::bad_alloc&) {
      break;
    }
    wchar_t text[32];
    swprintf(text, sizeof(text) / sizeof(text[0]), kSizeFormat, static_cast<int>(size.width),
             static_cast<int>(size.height));
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
  }
  OutputSize current = {};
  if (FAILED(m_pStream->GetOutputSize(&current.width, &current.height))) return;
  for (size_t i = 0; i < m_sizes.size(); ++i) {
    if (m_sizes[i].width == current.width && m_sizes[i].height == current.height) {
      SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
      return;
    }
  }
}

BOOL KT0519PropDlg::OnCommand(HWND dialog, WPARAM wParam, HWND control) {
  TELVOR_TRACE_AT(kUnit, L"KT0519PropDlg::OnCommand");
  const int id = LOWORD(wParam);
  const UINT code = HIWORD(wParam);
  if (id < kFirstCommandId || id > kLastCommandId) return FALSE;
  if (code == CBN_SELCHANGE) {
    // The notification's own window is the combo box; a synthetic command
    // without one still means the page's control.
    HWND combo = control ? control : GetDlgItem(dialog, id);
    if (id == IDC_COLOR_SPACE) OnColorSpaceChosen(combo);
    if (id == IDC_OUTPUT_SIZE) OnOutputSizeChosen(combo);
  }
  return TRUE;
}

// The pin's answers to the two choices are not examined: a refused change
// leaves the user's choice on screen, and the pin logs why it refused.
void KT0519PropDlg::OnColorSpaceChosen(HWND combo) {
  const LRESULT selected = SendMessageW(combo, CB_GETCURSEL, 0, 0);
  if (selected < 0 || selected >= kColorSpaceCount) return;
  const ColorSpace& space = kColorSpaces[selected];
  telvor::Trace() << space.traceLine;
  if (m_pStream) m_pStream->SetSubType(*space.subtype);
}

void KT0519PropDlg::OnOutputSizeChosen(HWND combo) {
  wchar_t text[kSizeTextChars + 1] = {};
  GetWindowTextW(combo, text, kSizeTextChars + 1);
  int width = 0;
  int height = 0;
  swscanf(text, kSizeFormat, &width, &height);
  telvor::Trace() << L"SetOutputSize: " << width << L"," << height;
  if (m_pStream) m_pStream->SetOutputSize(static_cast<UINT>(width), static_cast<UINT>(height));
}
