// The property page a host shows for a camera's video filter: the user picks
// the output colour space and size of the video pin, and each choice goes to
// the pin at once through its control interface, without waiting for Apply.
#pragma once

#include <windows.h>

#include <vector>

#include "filter/video/ICorvaneVideoStream.h"
#include "framework/BasePropertyPage.h"
#include "framework/ComPtr.h"

class KT0519PropDlg : public CBasePropertyPage {
 public:
  KT0519PropDlg(LPUNKNOWN outer, int cameraIndex);
  ~KT0519PropDlg() override = default;

  // A filter without the control interface (an audio filter, say) refuses
  // the page with the query's error.
  HRESULT OnConnect(IUnknown* object) override;
  HRESULT OnDisconnect() override;
  HRESULT OnDeactivate() override;
  INT_PTR OnReceiveMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  struct OutputSize {
    UINT width;
    UINT height;
  };

  BOOL OnInitDialog(HWND dialog);
  BOOL OnCommand(HWND dialog, WPARAM wParam, HWND control);
  void FillColorSpaces(HWND combo);
  void FillOutputSizes(HWND combo);
  void OnColorSpaceChosen(HWND combo);
  void OnOutputSizeChosen(HWND combo);

  const int m_cameraIndex;
  ComPtr<ICorvaneVideoStream> m_pStream;
  // The sizes in the order of the size combo box, so the pin's current size
  // can be found as a combo position.
  std::vector<OutputSize> m_sizes;
};
