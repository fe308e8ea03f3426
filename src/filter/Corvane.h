// The camera filter: one per created camera, for one camera index and one
// media kind, owning its single output pin. It answers the pin's property
// page and control interface on the pin's behalf, so that applications and
// the page reach them through the filter.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "framework/Source.h"
#include "settings/CameraTable.h"
#include "settings/ModulePaths.h"

class Corvane : public CSource, public IAMFilterMiscFlags {
 public:
  // mediaKind is MEDIATYPE_Video or MEDIATYPE_Audio. Failure is reported
  // through *hr; the creator then deletes the filter, which is not listed.
  Corvane(LPUNKNOWN outer, const GUID& mediaKind, UINT cameraIndex, const FilterEntry* entry, const CameraSite& site,
          HRESULT* hr);
  ~Corvane() override;

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // --- IMediaFilter ---
  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME start) override;

  // --- IAMFilterMiscFlags ---
  STDMETHODIMP_(ULONG) GetMiscFlags() override;

  UINT CameraIndex() const { return m_CameraIndex; }
  const GUID& MediaKind() const { return m_MediaKind; }

 private:
  const UINT m_CameraIndex;
  const FilterEntry* const m_pEntry;  // not owned: the table lives as long as the module
  const GUID m_MediaKind;
};

// Filters alive in this process, oldest first (for diagnostics and tests).
int LiveCameraFilterCount();
// Process detach: releases one reference on every filter still listed, the
// newest first. Hosts that never release a filter (FFmpeg's option listing)
// would otherwise leave its threads and mappings behind.
void ReleaseLiveCameraFilters();
