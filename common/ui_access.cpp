// The windows' own accessible object: a C-style COM object (a table of
// function pointers, no classes) per window, its children found from the
// window's controls at every call, so it is never out of date.
#define CINTERFACE
#define COBJMACROS
#include "ui_access.h"

#include <oleacc.h>

#include "ui_keys.h"
#include "ui_scale.h"

static const wchar_t kImageNameProperty[] = L"ORVELANT.ImageName";

int UiIsSelected(HWND control) { return UiIsControlSelected(control); }

void UiSetImageName(HWND control, const wchar_t *name) {
    if (control) SetPropW(control, kImageNameProperty, (HANDLE)name);
}

// The interface ids, spelled out: the import library's symbols for them are
// not data a program without the C runtime can take the address of.
static const GUID kIidUnknown = {
    0x00000000, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
static const GUID kIidDispatch = {
    0x00020400, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
static const GUID kIidAccessible = {
    0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// Loaded on the first request only: nobody pays for them without a reader.
typedef LRESULT(WINAPI *LresultFromObjectFn)(REFIID, WPARAM, LPUNKNOWN);
typedef BSTR(WINAPI *SysAllocStringFn)(const OLECHAR *);
typedef HRESULT(WINAPI *CoInitializeExFn)(void *, DWORD);
static LresultFromObjectFn g_lresult_from_object;
static SysAllocStringFn g_sys_alloc_string;

static int LoadAccessibility(void) {
    if (g_lresult_from_object && g_sys_alloc_string) return 1;
    HMODULE ole32 = LoadLibraryExW(L"ole32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    HMODULE oleaut32 = LoadLibraryExW(L"oleaut32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    HMODULE oleacc = LoadLibraryExW(L"oleacc.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!ole32 || !oleaut32 || !oleacc) return 0;
    CoInitializeExFn co_initialize =
        (CoInitializeExFn)(void *)GetProcAddress(ole32, "CoInitializeEx");
    // An apartment for the object's calls; already there is fine too. The
    // libraries stay loaded as long as an object may be in use.
    if (!co_initialize) return 0;
    co_initialize(NULL, COINIT_APARTMENTTHREADED);
    g_sys_alloc_string = (SysAllocStringFn)(void *)GetProcAddress(oleaut32, "SysAllocString");
    g_lresult_from_object =
        (LresultFromObjectFn)(void *)GetProcAddress(oleacc, "LresultFromObject");
    return g_lresult_from_object && g_sys_alloc_string;
}

// ---- the object -------------------------------------------------------------

enum { kMaxAccessWindows = 4, kMaxAccessChildren = 128, kNameUnits = 520 };

struct AccessObject {
    IAccessible face;  // first: the interface pointer is the object's address
    HWND window;
    LONG refs;
};

static AccessObject g_objects[kMaxAccessWindows];

static AccessObject *Self(IAccessible *face) { return (AccessObject *)face; }

// An image control that has a name.
static int IsNamedImage(HWND control) {
    return (GetWindowLongPtrW(control, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP &&
           GetPropW(control, kImageNameProperty) != NULL;
}

// The children in the window's child order (its reading order): the
// visible actions and named images. Returns the count.
static int Children(HWND window, HWND *out) {
    int count = 0;
    for (HWND c = GetWindow(window, GW_CHILD); c && count < kMaxAccessChildren;
         c = GetWindow(c, GW_HWNDNEXT)) {
        if (!IsWindowVisible(c)) continue;
        if (UiIsAction(c) || IsNamedImage(c)) out[count++] = c;
    }
    return count;
}

// The control of a child id (1-based), null for the window itself; -1 in
// *bad for an id that names nothing.
static HWND ChildOf(AccessObject *self, VARIANT child, int *bad) {
    *bad = 0;
    if (child.vt != VT_I4) {
        *bad = 1;
        return NULL;
    }
    if (child.lVal == CHILDID_SELF) return NULL;
    HWND children[kMaxAccessChildren];
    int count = Children(self->window, children);
    if (child.lVal < 1 || child.lVal > count) {
        *bad = 1;
        return NULL;
    }
    return children[child.lVal - 1];
}

static LONG ChildId(HWND window, HWND control) {
    HWND children[kMaxAccessChildren];
    int count = Children(window, children);
    for (int i = 0; i < count; ++i)
        if (children[i] == control) return i + 1;
    return 0;
}

static HRESULT StringResult(const wchar_t *text, BSTR *out) {
    *out = g_sys_alloc_string(text);
    return *out ? S_OK : E_OUTOFMEMORY;
}

static HRESULT STDMETHODCALLTYPE QueryInterfaceImpl(IAccessible *face, REFIID iid, void **out) {
    if (!out) return E_POINTER;
    if (IsEqualGUID(iid, kIidUnknown) || IsEqualGUID(iid, kIidDispatch) ||
        IsEqualGUID(iid, kIidAccessible)) {
        *out = face;
        InterlockedIncrement(&Self(face)->refs);
        return S_OK;
    }
    *out = NULL;
    return E_NOINTERFACE;
}

// The objects are a fixed table that lives as long as the program: the
// count is kept for form, nothing is freed.
static ULONG STDMETHODCALLTYPE AddRefImpl(IAccessible *face) {
    return (ULONG)InterlockedIncrement(&Self(face)->refs);
}

static ULONG STDMETHODCALLTYPE ReleaseImpl(IAccessible *face) {
    LONG left = InterlockedDecrement(&Self(face)->refs);
    return left > 0 ? (ULONG)left : 0;
}

static HRESULT STDMETHODCALLTYPE GetTypeInfoCountImpl(IAccessible *, UINT *count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE GetTypeInfoImpl(IAccessible *, UINT, LCID, ITypeInfo **info) {
    if (info) *info = NULL;
    return E_NOTIMPL;
}

static HRESULT STDMETHODCALLTYPE GetIDsOfNamesImpl(IAccessible *, REFIID, LPOLESTR *, UINT, LCID,
                                                   DISPID *) {
    return E_NOTIMPL;
}

static HRESULT STDMETHODCALLTYPE InvokeImpl(IAccessible *, DISPID, REFIID, LCID, WORD,
                                            DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *) {
    return E_NOTIMPL;
}

static HRESULT STDMETHODCALLTYPE GetParentImpl(IAccessible *, IDispatch **parent) {
    if (!parent) return E_POINTER;
    *parent = NULL;
    return S_FALSE;
}

static HRESULT STDMETHODCALLTYPE GetChildCountImpl(IAccessible *face, LONG *count) {
    if (!count) return E_POINTER;
    HWND children[kMaxAccessChildren];
    *count = Children(Self(face)->window, children);
    return S_OK;
}

// What a query with nothing to give answers: S_FALSE for a child this
// object has (or itself), E_INVALIDARG for any other.
static HRESULT NothingFor(IAccessible *face, VARIANT child) {
    int bad;
    ChildOf(Self(face), child, &bad);
    return bad ? E_INVALIDARG : S_FALSE;
}

// Every child is a simple element of this object.
static HRESULT STDMETHODCALLTYPE GetChildImpl(IAccessible *face, VARIANT child, IDispatch **out) {
    if (!out) return E_POINTER;
    *out = NULL;
    return NothingFor(face, child);
}

static HRESULT STDMETHODCALLTYPE GetNameImpl(IAccessible *face, VARIANT child, BSTR *name) {
    if (!name) return E_POINTER;
    *name = NULL;
    int bad;
    HWND control = ChildOf(Self(face), child, &bad);
    if (bad) return E_INVALIDARG;
    if (control && IsNamedImage(control))
        return StringResult((const wchar_t *)GetPropW(control, kImageNameProperty), name);
    wchar_t text[kNameUnits];
    int n = GetWindowTextW(control ? control : Self(face)->window, text, kNameUnits);
    text[n > 0 ? n : 0] = 0;
    return StringResult(text, name);
}

static HRESULT STDMETHODCALLTYPE NoStringImpl(IAccessible *face, VARIANT child, BSTR *out) {
    if (!out) return E_POINTER;
    *out = NULL;
    return NothingFor(face, child);
}

static HRESULT STDMETHODCALLTYPE GetRoleImpl(IAccessible *face, VARIANT child, VARIANT *role) {
    if (!role) return E_POINTER;
    int bad;
    HWND control = ChildOf(Self(face), child, &bad);
    if (bad) return E_INVALIDARG;
    role->vt = VT_I4;
    role->lVal = !control                ? ROLE_SYSTEM_CLIENT
                 : IsNamedImage(control) ? ROLE_SYSTEM_GRAPHIC
                                         : ROLE_SYSTEM_PUSHBUTTON;
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE GetStateImpl(IAccessible *face, VARIANT child, VARIANT *state) {
    if (!state) return E_POINTER;
    int bad;
    HWND window = Self(face)->window;
    HWND control = ChildOf(Self(face), child, &bad);
    if (bad) return E_INVALIDARG;
    HWND target = control ? control : window;
    LONG bits = 0;
    if (!IsWindowVisible(target)) bits |= STATE_SYSTEM_INVISIBLE;
    if (control && IsNamedImage(control)) {
        bits |= STATE_SYSTEM_READONLY;
    } else {
        bits |= STATE_SYSTEM_FOCUSABLE;
        if (GetFocus() == target) bits |= STATE_SYSTEM_FOCUSED;
        if (!IsWindowEnabled(target)) bits |= STATE_SYSTEM_UNAVAILABLE;
        if (control && UiIsSelected(control)) bits |= STATE_SYSTEM_SELECTED;
    }
    state->vt = VT_I4;
    state->lVal = bits;
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE GetHelpTopicImpl(IAccessible *, BSTR *file, VARIANT, LONG *id) {
    if (file) *file = NULL;
    if (id) *id = 0;
    return S_FALSE;
}

static HRESULT STDMETHODCALLTYPE GetFocusImpl(IAccessible *face, VARIANT *out) {
    if (!out) return E_POINTER;
    HWND window = Self(face)->window;
    HWND focus = GetFocus();
    LONG id = focus ? ChildId(window, focus) : 0;
    if (id > 0 || focus == window) {
        out->vt = VT_I4;
        out->lVal = id > 0 ? id : CHILDID_SELF;
        return S_OK;
    }
    out->vt = VT_EMPTY;
    return S_FALSE;
}

// The selected marks are per group (page entry, row): the states say them.
static HRESULT STDMETHODCALLTYPE GetSelectionImpl(IAccessible *, VARIANT *out) {
    if (!out) return E_POINTER;
    out->vt = VT_EMPTY;
    return DISP_E_MEMBERNOTFOUND;
}

static HRESULT STDMETHODCALLTYPE GetDefaultActionImpl(IAccessible *face, VARIANT child,
                                                      BSTR *action) {
    if (!action) return E_POINTER;
    *action = NULL;
    int bad;
    HWND control = ChildOf(Self(face), child, &bad);
    if (bad) return E_INVALIDARG;
    if (!control || !UiIsAction(control)) return S_FALSE;
    return StringResult(L"Press", action);
}

static HRESULT STDMETHODCALLTYPE SelectImpl(IAccessible *, LONG, VARIANT) { return E_NOTIMPL; }

static HRESULT STDMETHODCALLTYPE LocationImpl(IAccessible *face, LONG *x, LONG *y, LONG *w,
                                              LONG *h, VARIANT child) {
    if (!x || !y || !w || !h) return E_POINTER;
    int bad;
    HWND control = ChildOf(Self(face), child, &bad);
    if (bad) return E_INVALIDARG;
    RECT r;
    if (control) {
        GetWindowRect(control, &r);
    } else {
        GetClientRect(Self(face)->window, &r);
        MapWindowPoints(Self(face)->window, NULL, (POINT *)&r, 2);
    }
    *x = r.left;
    *y = r.top;
    *w = r.right - r.left;
    *h = r.bottom - r.top;
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE NavigateImpl(IAccessible *face, LONG direction, VARIANT start,
                                              VARIANT *end) {
    if (!end) return E_POINTER;
    end->vt = VT_EMPTY;
    if (start.vt != VT_I4) return E_INVALIDARG;
    HWND children[kMaxAccessChildren];
    LONG count = Children(Self(face)->window, children);
    LONG from = start.lVal, to = 0;
    if (from < 0 || from > count) return E_INVALIDARG;
    switch (direction) {
    case NAVDIR_FIRSTCHILD: to = from == CHILDID_SELF && count > 0 ? 1 : 0; break;
    case NAVDIR_LASTCHILD: to = from == CHILDID_SELF ? count : 0; break;
    case NAVDIR_NEXT:
    case NAVDIR_DOWN:
    case NAVDIR_RIGHT: to = from != CHILDID_SELF && from < count ? from + 1 : 0; break;
    case NAVDIR_PREVIOUS:
    case NAVDIR_UP:
    case NAVDIR_LEFT: to = from > 1 ? from - 1 : 0; break;
    default: return E_INVALIDARG;
    }
    if (to == 0) return S_FALSE;
    end->vt = VT_I4;
    end->lVal = to;
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE HitTestImpl(IAccessible *face, LONG x, LONG y, VARIANT *out) {
    if (!out) return E_POINTER;
    out->vt = VT_EMPTY;
    HWND window = Self(face)->window;
    POINT p = {x, y};
    RECT client;
    GetClientRect(window, &client);
    MapWindowPoints(window, NULL, (POINT *)&client, 2);
    if (!PtInRect(&client, p)) return S_FALSE;
    HWND children[kMaxAccessChildren];
    int count = Children(window, children);
    out->vt = VT_I4;
    out->lVal = CHILDID_SELF;
    for (int i = 0; i < count; ++i) {
        RECT r;
        if (GetWindowRect(children[i], &r) && PtInRect(&r, p)) out->lVal = i + 1;
    }
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE DoDefaultActionImpl(IAccessible *face, VARIANT child) {
    int bad;
    HWND control = ChildOf(Self(face), child, &bad);
    if (bad) return E_INVALIDARG;
    if (!control || !UiIsAction(control)) return DISP_E_MEMBERNOTFOUND;
    if (!IsWindowEnabled(control)) return E_FAIL;
    // Posted: the command may open a message box, whose loop must not run
    // inside the caller's request.
    PostMessageW(Self(face)->window, WM_COMMAND,
                 MAKEWPARAM(GetDlgCtrlID(control), STN_CLICKED), (LPARAM)control);
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE PutStringImpl(IAccessible *, VARIANT, BSTR) { return E_NOTIMPL; }

static const IAccessibleVtbl kAccessVtbl = {
    QueryInterfaceImpl, AddRefImpl,         ReleaseImpl,         GetTypeInfoCountImpl,
    GetTypeInfoImpl,    GetIDsOfNamesImpl,  InvokeImpl,          GetParentImpl,
    GetChildCountImpl,  GetChildImpl,       GetNameImpl,         NoStringImpl,  // value
    NoStringImpl,       // description
    GetRoleImpl,        GetStateImpl,       NoStringImpl,        // help
    GetHelpTopicImpl,   NoStringImpl,       // keyboard shortcut
    GetFocusImpl,       GetSelectionImpl,   GetDefaultActionImpl, SelectImpl,
    LocationImpl,       NavigateImpl,       HitTestImpl,         DoDefaultActionImpl,
    PutStringImpl,      PutStringImpl,
};

static AccessObject *ObjectFor(HWND window) {
    AccessObject *free_slot = NULL;
    for (int i = 0; i < kMaxAccessWindows; ++i) {
        AccessObject *o = &g_objects[i];
        if (o->window == window) return o;
        // A slot of a window that is gone and no longer referenced.
        if (!free_slot && (!o->window || (!IsWindow(o->window) && o->refs <= 0))) free_slot = o;
    }
    if (!free_slot) return NULL;
    free_slot->face.lpVtbl = (IAccessibleVtbl *)&kAccessVtbl;
    free_slot->window = window;
    free_slot->refs = 0;
    return free_slot;
}

int UiAnswerGetObject(HWND window, WPARAM wparam, LPARAM lparam, LRESULT *result) {
    if ((LONG)lparam != OBJID_CLIENT) return 0;
    if (!LoadAccessibility()) return 0;
    AccessObject *object = ObjectFor(window);
    if (!object) return 0;
    *result = g_lresult_from_object(kIidAccessible, wparam, (LPUNKNOWN)&object->face);
    return 1;
}
