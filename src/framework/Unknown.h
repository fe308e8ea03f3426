// Object counting and reference counting for every COM object of the module.
//
// CBaseObject counts live framework objects process-wide; DllCanUnloadNow
// answers from that count. CUnknown is the reference-counted base of filters,
// pins, enumerators and pages. Its IUnknown is split in two so that it can be
// aggregated: the non-delegating methods own the object's identity and count,
// while the public IUnknown methods of each interface (DECLARE_IUNKNOWN)
// forward to the outer unknown, which is the object itself when not aggregated.
//
// A subclass that adds interfaces:
//
//   class MyFilter : public CSource, public IAMFilterMiscFlags {
//    public:
//     DECLARE_IUNKNOWN
//     STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override {
//       if (iid == IID_IAMFilterMiscFlags)
//         return GetInterface(static_cast<IAMFilterMiscFlags*>(this), out);
//       return CSource::NonDelegatingQueryInterface(iid, out);
//     }
//   };
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <new>
#include <utility>

class CBaseObject {
 public:
  explicit CBaseObject(const wchar_t* name);
  ~CBaseObject();
  CBaseObject(const CBaseObject&) = delete;
  CBaseObject& operator=(const CBaseObject&) = delete;

  // Framework objects currently alive in this process.
  static LONG ObjectsActive();
  const wchar_t* ObjectName() const { return m_pName; }

 private:
  const wchar_t* m_pName;  // not owned: a literal or null
};

// The identity half of a split IUnknown; same slot layout as IUnknown so that
// an outer object can hold it as its inner unknown.
struct INonDelegatingUnknown {
  virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** out) = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
 public:
  // `outer` null means "not aggregated". `hr` is accepted for the creation
  // functions' uniform signature; construction here cannot fail.
  CUnknown(const wchar_t* name, LPUNKNOWN outer, HRESULT* hr = nullptr);
  virtual ~CUnknown();

  // INonDelegatingUnknown: answers IUnknown with the inner unknown itself.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
  // Deletes the object when the count reaches zero and then returns 0.
  STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

  // The object that answers QueryInterface for us (ourselves unless aggregated).
  LPUNKNOWN GetOwner() const { return m_pUnknown; }

 protected:
  volatile LONG m_cRef = 0;

 private:
  LPUNKNOWN m_pUnknown;
};

// The IUnknown of an object that is never aggregated and answers for IUnknown
// and one interface (enumerators, class objects); its last Release deletes it.
template <typename Interface, const IID& kInterfaceId>
class CStandaloneUnknown : public Interface, public CBaseObject {
 public:
  explicit CStandaloneUnknown(const wchar_t* name) : CBaseObject(name) {}
  virtual ~CStandaloneUnknown() = default;

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, kInterfaceId)) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG count = InterlockedDecrement(&m_cRef);
    if (count == 0) {
      delete this;
      return 0;
    }
    return static_cast<ULONG>(count);
  }

 private:
  volatile LONG m_cRef = 0;
};

// Creates an object for an output argument: *out gets it with one reference,
// or null and E_OUTOFMEMORY.
template <typename Object, typename Interface, typename... Args>
HRESULT NewStandalone(Interface** out, Args&&... args) {
  if (!out) return E_POINTER;
  *out = nullptr;
  auto* object = new (std::nothrow) Object(std::forward<Args>(args)...);
  if (!object) return E_OUTOFMEMORY;
  object->AddRef();
  *out = object;
  return S_OK;
}

// Stores `unknown` in *out with a reference added: the usual tail of a
// NonDelegatingQueryInterface branch. E_POINTER for a null out.
HRESULT GetInterface(LPUNKNOWN unknown, void** out);

// The public IUnknown of a CUnknown subclass: forwards to the owner.
#define DECLARE_IUNKNOWN                                                  \
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {          \
    return GetOwner()->QueryInterface(iid, out);                          \
  }                                                                       \
  STDMETHODIMP_(ULONG) AddRef() override { return GetOwner()->AddRef(); } \
  STDMETHODIMP_(ULONG) Release() override { return GetOwner()->Release(); }
