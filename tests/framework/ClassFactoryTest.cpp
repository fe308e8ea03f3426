// Class objects, object counting and module entry, through the exported
// functions exactly as a host calls them.
#include <gtest/gtest.h>

#include <windows.h>
#include <strmif.h>

#include "framework/ClassFactory.h"
#include "framework/ComPtr.h"
#include "support/FakeCom.h"

namespace {

// {5C6E0A31-2B7C-4D8E-9F10-0A1B2C3D4E01} and neighbours: private to this test program.
const CLSID kClsidPlain = {0x5c6e0a31, 0x2b7c, 0x4d8e, {0x9f, 0x10, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x01}};
const CLSID kClsidFailing = {0x5c6e0a31, 0x2b7c, 0x4d8e, {0x9f, 0x10, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x02}};
const CLSID kClsidNoMemory = {0x5c6e0a31, 0x2b7c, 0x4d8e, {0x9f, 0x10, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x03}};
const CLSID kClsidMissing = {0x5c6e0a31, 0x2b7c, 0x4d8e, {0x9f, 0x10, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x7f}};

int g_created = 0, g_destroyed = 0;

class PlainObject : public CUnknown {
 public:
  explicit PlainObject(LPUNKNOWN outer) : CUnknown(L"PlainObject", outer) { ++g_created; }
  ~PlainObject() override { ++g_destroyed; }
};

CUnknown* CreatePlain(LPUNKNOWN outer, HRESULT*) { return new PlainObject(outer); }
CUnknown* CreateFailing(LPUNKNOWN outer, HRESULT* hr) { return *hr = E_ACCESSDENIED, new PlainObject(outer); }
CUnknown* CreateNothing(LPUNKNOWN, HRESULT*) { return nullptr; }

}  // namespace

CFactoryTemplate g_Templates[kMaxTemplates] = {
    {L"Plain", &kClsidPlain, CreatePlain, nullptr, nullptr},
    {L"Failing", &kClsidFailing, CreateFailing, nullptr, nullptr},
    {L"NoMemory", &kClsidNoMemory, CreateNothing, nullptr, nullptr},
};
int g_cTemplates = 3;

namespace {

class ClassFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_created = g_destroyed = 0;
    ASSERT_EQ(0, CBaseObject::ObjectsActive()) << "an earlier test leaked framework objects";
  }
  static ComPtr<IClassFactory> Factory(const CLSID& clsid) {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(S_OK, DllGetClassObject(clsid, IID_IClassFactory, factory.PutVoid()));
    return factory;
  }
};

TEST_F(ClassFactoryTest, ClassObjectsOnlyForListedIdentifiersAndTwoInterfaces) {
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(kClsidMissing, IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);
  const int saved = g_cTemplates;
  g_cTemplates = 0;
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(kClsidPlain, IID_IClassFactory, &out));
  g_cTemplates = saved;

  EXPECT_EQ(E_NOINTERFACE, DllGetClassObject(kClsidPlain, IID_IPin, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_POINTER, DllGetClassObject(kClsidPlain, IID_IClassFactory, nullptr));
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(S_OK, DllGetClassObject(kClsidPlain, IID_IUnknown, unknown.PutVoid()));
  EXPECT_EQ(0u, unknown.Detach()->Release());
}

TEST_F(ClassFactoryTest, FailedCreationLeavesNoObjectBehind) {
  const struct {
    const CLSID* clsid;
    bool aggregated;
    REFIID iid;
    HRESULT result;
    int created;
  } cases[] = {
      {&kClsidPlain, true, IID_IPin, E_NOINTERFACE, 0},  // refused aggregation creates nothing
      {&kClsidPlain, false, IID_IPin, E_NOINTERFACE, 1},
      {&kClsidFailing, false, IID_IUnknown, E_ACCESSDENIED, 1},  // built with a failure code
      {&kClsidNoMemory, false, IID_IUnknown, E_OUTOFMEMORY, 0},
  };
  for (const auto& c : cases) {
    g_created = g_destroyed = 0;
    ComPtr<IClassFactory> factory = Factory(*c.clsid);
    IUnknown* outer = c.aggregated ? factory.Get() : nullptr;  // any non-null unknown; never called
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(c.result, factory->CreateInstance(outer, c.iid, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(c.created, g_created);
    EXPECT_EQ(c.created, g_destroyed);
  }
}

// Holds our object as its inner unknown and counts what is forwarded to it.
using OuterUnknown = telvor::test::FakeUnknown<IUnknown, &IID_IUnknown>;

// One class object serves a plain and an aggregated object; the module
// stays while the class object, an object or a server lock lives.
TEST_F(ClassFactoryTest, ReferenceCountsAreExactAndTheModuleStaysWhileAnythingLives) {
  EXPECT_EQ(S_OK, DllCanUnloadNow());
  ComPtr<IClassFactory> factory = Factory(kClsidPlain);
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  IUnknown* object = nullptr;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)));
  EXPECT_EQ(2u, object->AddRef());
  IUnknown* again = nullptr;
  ASSERT_EQ(S_OK, object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&again)));
  EXPECT_EQ(object, again);
  EXPECT_EQ(2u, again->Release());
  EXPECT_EQ(1u, object->Release());

  OuterUnknown outer;
  IUnknown* inner = nullptr;
  ASSERT_EQ(S_OK, factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)));
  EXPECT_EQ(1, outer.refs) << "creating the inner object must not touch the outer count";
  // The inner unknown keeps its own count while the public interfaces go to the outer one.
  EXPECT_EQ(2u, inner->AddRef());
  EXPECT_EQ(1u, inner->Release());
  EXPECT_EQ(&outer, static_cast<PlainObject*>(reinterpret_cast<INonDelegatingUnknown*>(inner))->GetOwner());
  EXPECT_EQ(0u, inner->Release());
  EXPECT_EQ(1, g_destroyed);

  EXPECT_EQ(S_OK, factory->LockServer(TRUE));
  factory.Reset();
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  EXPECT_EQ(0u, object->Release());
  EXPECT_EQ(2, g_destroyed);
  EXPECT_EQ(S_FALSE, DllCanUnloadNow()) << "the server lock still holds the module";
  EXPECT_EQ(S_OK, Factory(kClsidPlain)->LockServer(FALSE));
  EXPECT_EQ(S_OK, DllCanUnloadNow());
}

}  // namespace
