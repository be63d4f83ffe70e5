// The windows' own accessible objects: C-style COM objects (a table of
// function pointers, no classes), one per window whose children are found
// from the window's controls at every call, so it is never out of date, and
// one per action a reader asked for, which is that window's child on its
// own: the focus and selection events name the action's window, and a
// reader asks the action itself what it is.
#define CINTERFACE
#define COBJMACROS
#include "ui_access.h"

#include <oleacc.h>

#include "ui_keys.h"
#include "ui_scale.h"

static const wchar_t kImageNameProperty[] = L"ORVELANT.ImageName";

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
typedef HRESULT(WINAPI *CoDisconnectObjectFn)(LPUNKNOWN, DWORD);
typedef HRESULT(WINAPI *CreateStdAccessibleObjectFn)(HWND, LONG, REFIID, void **);
static LresultFromObjectFn g_lresult_from_object;
static SysAllocStringFn g_sys_alloc_string;
static CoDisconnectObjectFn g_co_disconnect_object;
static CreateStdAccessibleObjectFn g_create_std_accessible_object;

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
    g_co_disconnect_object =
        (CoDisconnectObjectFn)(void *)GetProcAddress(ole32, "CoDisconnectObject");
    g_create_std_accessible_object = (CreateStdAccessibleObjectFn)(void *)GetProcAddress(
        oleacc, "CreateStdAccessibleObject");
    return g_lresult_from_object && g_sys_alloc_string;
}

// ---- the object -------------------------------------------------------------

enum { kMaxAccessObjects = 160, kMaxAccessChildren = 128, kNameUnits = 520 };

// An object answers for a window (control null: its children are the
// window's actions and images) or for one action (control set: the action
// is the object itself, with no children). Once its window is gone it is
// disconnected: every call answers CO_E_OBJNOTCONNECTED.
struct AccessObject {
    IAccessible face;  // first: the interface pointer is the object's address
    HWND window;
    HWND control;
    LONG refs;
    int connected;
};

static AccessObject g_objects[kMaxAccessObjects];

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
    if (child.vt != VT_I4 || !self->connected) {
        *bad = 1;
        return NULL;
    }
    if (self->control) {
        *bad = child.lVal != CHILDID_SELF;
        return self->control;
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

// What a call on a disconnected object answers.
#define ORV_CONNECTED_OR_FAIL(face) \
    do { \
        if (!Self(face)->connected) return CO_E_OBJNOTCONNECTED; \
    } while (0)

// The bad-argument answer of a call: the object may just have gone.
static HRESULT BadChild(IAccessible *face) {
    return Self(face)->connected ? E_INVALIDARG : CO_E_OBJNOTCONNECTED;
}

static AccessObject *ObjectFor(HWND window, HWND control);

// An object's interface, counted, for a caller that keeps it.
static IDispatch *Handed(AccessObject *object) {
    if (!object) return NULL;
    InterlockedIncrement(&object->refs);
    return (IDispatch *)&object->face;
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

// An action's parent is its window's object; a window's, the system's
// object for the window's frame.
static HRESULT STDMETHODCALLTYPE GetParentImpl(IAccessible *face, IDispatch **parent) {
    if (!parent) return E_POINTER;
    *parent = NULL;
    ORV_CONNECTED_OR_FAIL(face);
    AccessObject *self = Self(face);
    if (self->control) *parent = Handed(ObjectFor(self->window, NULL));
    else if (g_create_std_accessible_object)
        g_create_std_accessible_object(self->window, OBJID_WINDOW, kIidDispatch, (void **)parent);
    return *parent ? S_OK : S_FALSE;
}

static HRESULT STDMETHODCALLTYPE GetChildCountImpl(IAccessible *face, LONG *count) {
    if (!count) return E_POINTER;
    *count = 0;
    ORV_CONNECTED_OR_FAIL(face);
    HWND children[kMaxAccessChildren];
    if (!Self(face)->control) *count = Children(Self(face)->window, children);
    return S_OK;
}

// What a query with nothing to give answers: S_FALSE for a child this
// object has (or itself), E_INVALIDARG for any other.
static HRESULT NothingFor(IAccessible *face, VARIANT child) {
    int bad;
    ChildOf(Self(face), child, &bad);
    return bad ? BadChild(face) : S_FALSE;
}

// An action child is also an object of its own: the one the action
// answers for itself.
static HRESULT STDMETHODCALLTYPE GetChildImpl(IAccessible *face, VARIANT child, IDispatch **out) {
    if (!out) return E_POINTER;
    *out = NULL;
    int bad;
    AccessObject *self = Self(face);
    HWND control = ChildOf(self, child, &bad);
    if (bad) return BadChild(face);
    if (!self->control && control && UiIsAction(control))
        *out = Handed(ObjectFor(self->window, control));
    return *out ? S_OK : S_FALSE;
}

static HRESULT STDMETHODCALLTYPE GetNameImpl(IAccessible *face, VARIANT child, BSTR *name) {
    if (!name) return E_POINTER;
    *name = NULL;
    int bad;
    HWND control = ChildOf(Self(face), child, &bad);
    if (bad) return BadChild(face);
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
    if (bad) return BadChild(face);
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
    if (bad) return BadChild(face);
    HWND target = control ? control : window;
    LONG bits = 0;
    if (!IsWindowVisible(target)) bits |= STATE_SYSTEM_INVISIBLE;
    if (control && IsNamedImage(control)) {
        bits |= STATE_SYSTEM_READONLY;
    } else {
        bits |= STATE_SYSTEM_FOCUSABLE;
        if (GetFocus() == target) bits |= STATE_SYSTEM_FOCUSED;
        if (!IsWindowEnabled(target)) bits |= STATE_SYSTEM_UNAVAILABLE;
        if (control && UiIsControlSelected(control)) bits |= STATE_SYSTEM_SELECTED;
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
    out->vt = VT_EMPTY;
    ORV_CONNECTED_OR_FAIL(face);
    AccessObject *self = Self(face);
    HWND window = self->window;
    HWND focus = GetFocus();
    if (self->control) {
        if (focus != self->control) return S_FALSE;
        out->vt = VT_I4;
        out->lVal = CHILDID_SELF;
        return S_OK;
    }
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
static HRESULT STDMETHODCALLTYPE GetSelectionImpl(IAccessible *face, VARIANT *out) {
    if (!out) return E_POINTER;
    out->vt = VT_EMPTY;
    ORV_CONNECTED_OR_FAIL(face);
    return DISP_E_MEMBERNOTFOUND;
}

static HRESULT STDMETHODCALLTYPE GetDefaultActionImpl(IAccessible *face, VARIANT child,
                                                      BSTR *action) {
    if (!action) return E_POINTER;
    *action = NULL;
    int bad;
    HWND control = ChildOf(Self(face), child, &bad);
    if (bad) return BadChild(face);
    if (!control || !UiIsAction(control)) return S_FALSE;
    return StringResult(L"Press", action);
}

static HRESULT STDMETHODCALLTYPE SelectImpl(IAccessible *, LONG, VARIANT) { return E_NOTIMPL; }

static HRESULT STDMETHODCALLTYPE LocationImpl(IAccessible *face, LONG *x, LONG *y, LONG *w,
                                              LONG *h, VARIANT child) {
    if (!x || !y || !w || !h) return E_POINTER;
    int bad;
    HWND control = ChildOf(Self(face), child, &bad);
    if (bad) return BadChild(face);
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
    ORV_CONNECTED_OR_FAIL(face);
    if (start.vt != VT_I4) return E_INVALIDARG;
    // An action's siblings are its window's to name.
    if (Self(face)->control) return start.lVal == CHILDID_SELF ? S_FALSE : E_INVALIDARG;
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
    ORV_CONNECTED_OR_FAIL(face);
    AccessObject *self = Self(face);
    HWND window = self->control ? self->control : self->window;
    POINT p = {x, y};
    RECT client;
    GetClientRect(window, &client);
    MapWindowPoints(window, NULL, (POINT *)&client, 2);
    if (!PtInRect(&client, p)) return S_FALSE;
    if (self->control) {
        out->vt = VT_I4;
        out->lVal = CHILDID_SELF;
        return S_OK;
    }
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
    if (bad) return BadChild(face);
    if (!control || !UiIsAction(control)) return DISP_E_MEMBERNOTFOUND;
    // Refused while the action is disabled, and while a box the window
    // opened is up (it disables the window): a command run then would run
    // inside the box's loop, in the middle of the command that opened it.
    if (!IsWindowEnabled(control) || !IsWindowEnabled(Self(face)->window)) return E_FAIL;
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

static AccessObject *ObjectFor(HWND window, HWND control) {
    AccessObject *free_slot = NULL;
    for (int i = 0; i < kMaxAccessObjects; ++i) {
        AccessObject *o = &g_objects[i];
        if (o->connected && o->window == window && o->control == control) return o;
        // A slot never used, or disconnected and no longer referenced.
        if (!free_slot && !o->connected && o->refs <= 0) free_slot = o;
    }
    if (!free_slot || !IsWindow(window)) return NULL;
    free_slot->face.lpVtbl = (IAccessibleVtbl *)&kAccessVtbl;
    free_slot->window = window;
    free_slot->control = control;
    free_slot->refs = 0;
    free_slot->connected = 1;
    return free_slot;
}

int UiAnswerGetObject(HWND window, WPARAM wparam, LPARAM lparam, LRESULT *result) {
    if ((LONG)lparam != OBJID_CLIENT) return 0;
    if (!LoadAccessibility()) return 0;
    HWND control = NULL;
    if (UiIsAction(window)) {
        control = window;
        window = GetParent(control);
    }
    AccessObject *object = ObjectFor(window, control);
    if (!object) return 0;
    *result = g_lresult_from_object(kIidAccessible, wparam, (LPUNKNOWN)&object->face);
    return 1;
}

void UiAccessWindowGone(HWND window) {
    for (int i = 0; i < kMaxAccessObjects; ++i) {
        AccessObject *o = &g_objects[i];
        if (!o->connected || (o->window != window && o->control != window)) continue;
        o->connected = 0;
        // Readers in other processes hold proxies: they are told now, and
        // their references let go.
        if (g_co_disconnect_object) g_co_disconnect_object((LPUNKNOWN)&o->face, 0);
    }
}

void UiAccessStateChanged(HWND control, int selected) {
    NotifyWinEvent(EVENT_OBJECT_STATECHANGE, control, OBJID_CLIENT, CHILDID_SELF);
    if (selected) NotifyWinEvent(EVENT_OBJECT_SELECTION, control, OBJID_CLIENT, CHILDID_SELF);
}
