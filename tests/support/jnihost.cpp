// The in-process JNI environment; see jnihost.h.
#include "support/jnihost.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>

namespace tovtest {

namespace {

const char* const kOpNames[] = {
    "GetStringUTFChars", "GetStringChars", "NewString", "NewStringUTF", "GetArrayLength",
    "GetByteArrayElements", "GetIntArrayElements", "GetCharArrayElements", "GetByteArrayRegion",
    "SetByteArrayRegion", "GetIntArrayRegion", "SetIntArrayRegion", "GetCharArrayRegion",
    "SetCharArrayRegion", "NewByteArray", "NewIntArray", "NewCharArray", "FindClass",
    "NewObjectArray", "SetObjectArrayElement"};
static_assert(sizeof(kOpNames) / sizeof(kOpNames[0]) == static_cast<size_t>(JniOp::kCount));

enum class Kind { String, Bytes, Ints, Chars, Class, Objects };

const char* KindName(Kind k) {
  switch (k) {
    case Kind::String: return "java.lang.String";
    case Kind::Bytes: return "byte[]";
    case Kind::Ints: return "int[]";
    case Kind::Chars: return "char[]";
    case Kind::Class: return "java.lang.Class";
    case Kind::Objects: return "Object[]";
  }
  return "?";
}

struct Obj {
  Kind kind;
  size_t elemSize = 1;
  std::vector<uint8_t> raw;  // array elements
  std::u16string text;       // string units; a class's name
  std::vector<jobject> objs;  // object array elements
  size_t Length() const {
    if (kind == Kind::Objects) return objs.size();
    return kind == Kind::String ? text.size() : raw.size() / elemSize;
  }
};

const char kOom[] = "java.lang.OutOfMemoryError";
const char kBounds[] = "java.lang.ArrayIndexOutOfBoundsException";

}  // namespace

struct JniHost::Impl {
  JNINativeInterface_ table;
  std::deque<std::unique_ptr<Obj>> objects;
  std::set<const Obj*> live;
  std::map<const void*, const Obj*> heldElements;  // elements handed out, by pointer
  std::map<const void*, const Obj*> heldStrings;   // UTF chars and chars handed out
  std::string pending;
  int calls[static_cast<int>(JniOp::kCount)] = {};
  std::map<int, std::set<int>> failAt;  // op -> call numbers that fail
  std::vector<std::string> violations;

  void Breach(const std::string& what) { violations.push_back(what); }

  // Counts the call; false when it is to fail.
  bool Enter(JniOp op) {
    int i = static_cast<int>(op);
    int n = ++calls[i];
    if (!pending.empty()) {
      Breach(std::string(kOpNames[i]) + " called with " + pending + " pending");
    }
    auto it = failAt.find(i);
    if (it != failAt.end() && it->second.erase(n)) return false;
    return true;
  }

  Obj* Get(jobject o, Kind kind, const char* fn) {
    auto* obj = reinterpret_cast<Obj*>(o);
    if (obj == nullptr || !live.count(obj)) {
      Breach(std::string(fn) + ": NULL or unknown object");
      return nullptr;
    }
    if (obj->kind != kind) {
      Breach(std::string(fn) + ": " + KindName(obj->kind) + " where " + KindName(kind) +
             " was expected");
      return nullptr;
    }
    return obj;
  }

  Obj* Add(Kind kind, size_t elemSize) {
    objects.push_back(std::make_unique<Obj>());
    Obj* o = objects.back().get();
    o->kind = kind;
    o->elemSize = elemSize;
    live.insert(o);
    return o;
  }
};

namespace {

struct EnvBox {
  JNIEnv_ env;
  JniHost::Impl* impl;
};

JniHost::Impl& I(JNIEnv* env) { return *reinterpret_cast<EnvBox*>(env)->impl; }

[[noreturn]] void Unsupported() {
  fprintf(stderr, "JniHost: a JNI function that the host does not provide was called\n");
  abort();
}

jboolean ExceptionCheck(JNIEnv* env) { return I(env).pending.empty() ? JNI_FALSE : JNI_TRUE; }
void ExceptionClear(JNIEnv* env) { I(env).pending.clear(); }
jthrowable ExceptionOccurred(JNIEnv* env) {
  return I(env).pending.empty() ? nullptr : reinterpret_cast<jthrowable>(&I(env));
}
void DeleteLocalRef(JNIEnv*, jobject) {}

jsize GetArrayLength(JNIEnv* env, jarray a) {
  JniHost::Impl& h = I(env);
  h.Enter(JniOp::GetArrayLength);
  auto* obj = reinterpret_cast<Obj*>(a);
  if (obj == nullptr || !h.live.count(obj) || obj->kind == Kind::String || obj->kind == Kind::Class) {
    h.Breach("GetArrayLength: not an array");
    return 0;
  }
  return static_cast<jsize>(obj->Length());
}

jsize GetStringLength(JNIEnv* env, jstring s) {
  Obj* o = I(env).Get(s, Kind::String, "GetStringLength");
  return o == nullptr ? 0 : static_cast<jsize>(o->text.size());
}

const char* GetStringUTFChars(JNIEnv* env, jstring s, jboolean* isCopy) {
  JniHost::Impl& h = I(env);
  bool ok = h.Enter(JniOp::GetStringUTFChars);
  Obj* o = h.Get(s, Kind::String, "GetStringUTFChars");
  if (o == nullptr) return nullptr;
  if (!ok) {
    h.pending = kOom;
    return nullptr;
  }
  std::string m = ModifiedUtf8(o->text);
  char* p = static_cast<char*>(malloc(m.size() + 1));
  memcpy(p, m.c_str(), m.size() + 1);
  h.heldStrings[p] = o;
  if (isCopy) *isCopy = JNI_TRUE;
  return p;
}

void ReleaseString(JNIEnv* env, jstring s, const void* p, const char* fn) {
  JniHost::Impl& h = I(env);
  auto it = h.heldStrings.find(p);
  if (it == h.heldStrings.end() || it->second != reinterpret_cast<Obj*>(s)) {
    h.Breach(std::string(fn) + ": chars that this string did not hand out");
    return;
  }
  h.heldStrings.erase(it);
  free(const_cast<void*>(p));
}

void ReleaseStringUTFChars(JNIEnv* env, jstring s, const char* p) {
  ReleaseString(env, s, p, "ReleaseStringUTFChars");
}

const jchar* GetStringChars(JNIEnv* env, jstring s, jboolean* isCopy) {
  JniHost::Impl& h = I(env);
  bool ok = h.Enter(JniOp::GetStringChars);
  Obj* o = h.Get(s, Kind::String, "GetStringChars");
  if (o == nullptr) return nullptr;
  if (!ok) {
    h.pending = kOom;
    return nullptr;
  }
  auto* p = static_cast<jchar*>(malloc((o->text.size() + 1) * sizeof(jchar)));
  if (!o->text.empty()) memcpy(p, o->text.data(), o->text.size() * sizeof(jchar));
  p[o->text.size()] = 0;
  h.heldStrings[p] = o;
  if (isCopy) *isCopy = JNI_TRUE;
  return p;
}

void ReleaseStringChars(JNIEnv* env, jstring s, const jchar* p) {
  ReleaseString(env, s, p, "ReleaseStringChars");
}

jstring HostNewString(JNIEnv* env, const jchar* units, jsize n) {
  JniHost::Impl& h = I(env);
  if (!h.Enter(JniOp::NewString)) {
    h.pending = kOom;
    return nullptr;
  }
  if (n < 0 || (n > 0 && units == nullptr)) {
    h.Breach("NewString: bad length or NULL units");
    return nullptr;
  }
  Obj* o = h.Add(Kind::String, 2);
  o->text.assign(reinterpret_cast<const char16_t*>(units), static_cast<size_t>(n));
  return reinterpret_cast<jstring>(o);
}

jstring HostNewStringUTF(JNIEnv* env, const char* utf) {
  JniHost::Impl& h = I(env);
  if (!h.Enter(JniOp::NewStringUTF)) {
    h.pending = kOom;
    return nullptr;
  }
  if (utf == nullptr) {
    h.Breach("NewStringUTF: NULL");
    return nullptr;
  }
  // Modified UTF-8: one, two and three byte forms only.
  std::u16string out;
  const auto* p = reinterpret_cast<const unsigned char*>(utf);
  while (*p) {
    if (*p < 0x80) {
      out.push_back(*p++);
    } else if ((*p & 0xE0) == 0xC0 && (p[1] & 0xC0) == 0x80) {
      out.push_back(static_cast<char16_t>(((p[0] & 0x1F) << 6) | (p[1] & 0x3F)));
      p += 2;
    } else if ((*p & 0xF0) == 0xE0 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80) {
      out.push_back(static_cast<char16_t>(((p[0] & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F)));
      p += 3;
    } else {
      h.Breach("NewStringUTF: input is not valid modified UTF-8");
      return nullptr;
    }
  }
  Obj* o = h.Add(Kind::String, 2);
  o->text = out;
  return reinterpret_cast<jstring>(o);
}

template <Kind K, class T, JniOp Op, class A>
T* GetElements(JNIEnv* env, A a, jboolean* isCopy) {
  JniHost::Impl& h = I(env);
  bool ok = h.Enter(Op);
  Obj* o = h.Get(a, K, kOpNames[static_cast<int>(Op)]);
  if (o == nullptr) return nullptr;
  if (!ok) {
    h.pending = kOom;
    return nullptr;
  }
  // A copy, as many JVMs give: the Java array sees it only at the release.
  T* p = static_cast<T*>(malloc(o->raw.size() + sizeof(T)));
  if (!o->raw.empty()) memcpy(p, o->raw.data(), o->raw.size());
  h.heldElements[p] = o;
  if (isCopy) *isCopy = JNI_TRUE;
  return p;
}

template <class T, class A>
void ReleaseElements(JNIEnv* env, A a, T* p, jint mode) {
  JniHost::Impl& h = I(env);
  auto it = h.heldElements.find(p);
  if (it == h.heldElements.end() || it->second != reinterpret_cast<Obj*>(a)) {
    h.Breach("Release<type>ArrayElements: elements that this array did not hand out");
    return;
  }
  Obj* o = const_cast<Obj*>(it->second);
  if ((mode == 0 || mode == JNI_COMMIT) && !o->raw.empty()) memcpy(o->raw.data(), p, o->raw.size());
  if (mode == 0 || mode == JNI_ABORT) {
    h.heldElements.erase(it);
    free(p);
  }
}

template <Kind K, class T, JniOp Op, bool Write, class A, class B>
void Region(JNIEnv* env, A a, jsize start, jsize len, B* buf) {
  JniHost::Impl& h = I(env);
  bool ok = h.Enter(Op);
  Obj* o = h.Get(a, K, kOpNames[static_cast<int>(Op)]);
  if (o == nullptr) return;
  jsize n = static_cast<jsize>(o->Length());
  if (!ok || start < 0 || len < 0 || start > n - len) {
    h.pending = kBounds;
    return;
  }
  if (len == 0) return;
  if (buf == nullptr) {
    h.Breach(std::string(kOpNames[static_cast<int>(Op)]) + ": NULL buffer");
    return;
  }
  uint8_t* at = o->raw.data() + static_cast<size_t>(start) * sizeof(T);
  if constexpr (Write) {
    memcpy(at, buf, static_cast<size_t>(len) * sizeof(T));
  } else {
    memcpy(buf, at, static_cast<size_t>(len) * sizeof(T));
  }
}

template <Kind K, class T, JniOp Op, class A>
A NewArray(JNIEnv* env, jsize n) {
  JniHost::Impl& h = I(env);
  if (!h.Enter(Op)) {
    h.pending = kOom;
    return nullptr;
  }
  if (n < 0) {
    h.pending = "java.lang.NegativeArraySizeException";
    return nullptr;
  }
  Obj* o = h.Add(K, sizeof(T));
  o->raw.assign(static_cast<size_t>(n) * sizeof(T), 0);
  return reinterpret_cast<A>(o);
}

jclass HostFindClass(JNIEnv* env, const char* name) {
  JniHost::Impl& h = I(env);
  if (!h.Enter(JniOp::FindClass)) {
    h.pending = kOom;
    return nullptr;
  }
  if (name == nullptr || strcmp(name, "java/lang/String") != 0) {
    h.pending = "java.lang.NoClassDefFoundError";
    return nullptr;
  }
  Obj* o = h.Add(Kind::Class, 1);
  o->text.assign(name, name + strlen(name));
  return reinterpret_cast<jclass>(o);
}

jobjectArray HostNewObjectArray(JNIEnv* env, jsize n, jclass cls, jobject init) {
  JniHost::Impl& h = I(env);
  bool ok = h.Enter(JniOp::NewObjectArray);
  if (h.Get(cls, Kind::Class, "NewObjectArray") == nullptr) return nullptr;
  if (!ok) {
    h.pending = kOom;
    return nullptr;
  }
  if (n < 0) {
    h.pending = "java.lang.NegativeArraySizeException";
    return nullptr;
  }
  Obj* o = h.Add(Kind::Objects, sizeof(jobject));
  o->objs.assign(static_cast<size_t>(n), init);
  return reinterpret_cast<jobjectArray>(o);
}

void HostSetObjectArrayElement(JNIEnv* env, jobjectArray a, jsize i, jobject v) {
  JniHost::Impl& h = I(env);
  bool ok = h.Enter(JniOp::SetObjectArrayElement);
  Obj* o = h.Get(a, Kind::Objects, "SetObjectArrayElement");
  if (o == nullptr) return;
  if (!ok || i < 0 || static_cast<size_t>(i) >= o->objs.size()) {
    h.pending = kBounds;
    return;
  }
  o->objs[static_cast<size_t>(i)] = v;
}

}  // namespace

const char* JniOpName(JniOp op) { return kOpNames[static_cast<int>(op)]; }

std::string ModifiedUtf8(const std::u16string& units) {
  std::string m;
  for (char16_t c : units) {
    if (c != 0 && c < 0x80) {
      m.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      m.push_back(static_cast<char>(0xC0 | (c >> 6)));
      m.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      m.push_back(static_cast<char>(0xE0 | (c >> 12)));
      m.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      m.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return m;
}

JniHost::JniHost() : impl_(std::make_unique<Impl>()), violations_(impl_->violations) {
  void** slots = reinterpret_cast<void**>(&impl_->table);
  for (size_t i = 0; i < sizeof(JNINativeInterface_) / sizeof(void*); ++i) {
    slots[i] = reinterpret_cast<void*>(&Unsupported);
  }
  JNINativeInterface_& t = impl_->table;
  t.ExceptionCheck = ExceptionCheck;
  t.ExceptionClear = ExceptionClear;
  t.ExceptionOccurred = ExceptionOccurred;
  t.DeleteLocalRef = DeleteLocalRef;
  t.GetArrayLength = GetArrayLength;
  t.GetStringLength = GetStringLength;
  t.GetStringUTFChars = GetStringUTFChars;
  t.ReleaseStringUTFChars = ReleaseStringUTFChars;
  t.GetStringChars = GetStringChars;
  t.ReleaseStringChars = ReleaseStringChars;
  t.NewString = HostNewString;
  t.NewStringUTF = HostNewStringUTF;
  t.GetByteArrayElements = GetElements<Kind::Bytes, jbyte, JniOp::GetByteArrayElements, jbyteArray>;
  t.GetIntArrayElements = GetElements<Kind::Ints, jint, JniOp::GetIntArrayElements, jintArray>;
  t.GetCharArrayElements = GetElements<Kind::Chars, jchar, JniOp::GetCharArrayElements, jcharArray>;
  t.ReleaseByteArrayElements = ReleaseElements<jbyte, jbyteArray>;
  t.ReleaseIntArrayElements = ReleaseElements<jint, jintArray>;
  t.ReleaseCharArrayElements = ReleaseElements<jchar, jcharArray>;
  t.GetByteArrayRegion = Region<Kind::Bytes, jbyte, JniOp::GetByteArrayRegion, false, jbyteArray, jbyte>;
  t.SetByteArrayRegion =
      Region<Kind::Bytes, jbyte, JniOp::SetByteArrayRegion, true, jbyteArray, const jbyte>;
  t.GetIntArrayRegion = Region<Kind::Ints, jint, JniOp::GetIntArrayRegion, false, jintArray, jint>;
  t.SetIntArrayRegion = Region<Kind::Ints, jint, JniOp::SetIntArrayRegion, true, jintArray, const jint>;
  t.GetCharArrayRegion = Region<Kind::Chars, jchar, JniOp::GetCharArrayRegion, false, jcharArray, jchar>;
  t.SetCharArrayRegion =
      Region<Kind::Chars, jchar, JniOp::SetCharArrayRegion, true, jcharArray, const jchar>;
  t.NewByteArray = NewArray<Kind::Bytes, jbyte, JniOp::NewByteArray, jbyteArray>;
  t.NewIntArray = NewArray<Kind::Ints, jint, JniOp::NewIntArray, jintArray>;
  t.NewCharArray = NewArray<Kind::Chars, jchar, JniOp::NewCharArray, jcharArray>;
  t.FindClass = HostFindClass;
  t.NewObjectArray = HostNewObjectArray;
  t.SetObjectArrayElement = HostSetObjectArrayElement;
  box_ = std::make_unique<char[]>(sizeof(EnvBox));
  auto* box = new (box_.get()) EnvBox{JNIEnv_{&impl_->table}, impl_.get()};
  env_ = &box->env;
}

JniHost::~JniHost() {
  for (auto& [p, o] : impl_->heldElements) free(const_cast<void*>(p));
  for (auto& [p, o] : impl_->heldStrings) free(const_cast<void*>(p));
}

JNIEnv* JniHost::env() { return env_; }

jbyteArray JniHost::NewBytes(const std::vector<uint8_t>& bytes) {
  Obj* o = impl_->Add(Kind::Bytes, 1);
  o->raw = bytes;
  return reinterpret_cast<jbyteArray>(o);
}

jintArray JniHost::NewInts(const std::vector<int32_t>& ints) {
  Obj* o = impl_->Add(Kind::Ints, 4);
  o->raw.resize(ints.size() * 4);
  if (!ints.empty()) memcpy(o->raw.data(), ints.data(), o->raw.size());
  return reinterpret_cast<jintArray>(o);
}

jcharArray JniHost::NewChars(const std::u16string& units) {
  Obj* o = impl_->Add(Kind::Chars, 2);
  o->raw.resize(units.size() * 2);
  if (!units.empty()) memcpy(o->raw.data(), units.data(), o->raw.size());
  return reinterpret_cast<jcharArray>(o);
}

jstring JniHost::NewString(const std::u16string& text) {
  Obj* o = impl_->Add(Kind::String, 2);
  o->text = text;
  return reinterpret_cast<jstring>(o);
}

std::vector<uint8_t> JniHost::Bytes(jobject array) const {
  const Obj* o = reinterpret_cast<const Obj*>(array);
  return o != nullptr && o->kind == Kind::Bytes ? o->raw : std::vector<uint8_t>{};
}

std::vector<int32_t> JniHost::Ints(jobject array) const {
  const Obj* o = reinterpret_cast<const Obj*>(array);
  std::vector<int32_t> v;
  if (o == nullptr || o->kind != Kind::Ints) return v;
  v.resize(o->raw.size() / 4);
  if (!v.empty()) memcpy(v.data(), o->raw.data(), o->raw.size());
  return v;
}

std::u16string JniHost::Chars(jobject array) const {
  const Obj* o = reinterpret_cast<const Obj*>(array);
  std::u16string s;
  if (o == nullptr || o->kind != Kind::Chars) return s;
  s.resize(o->raw.size() / 2);
  if (!s.empty()) memcpy(s.data(), o->raw.data(), o->raw.size());
  return s;
}

std::vector<uint8_t> JniHost::Raw(jobject array) const {
  const Obj* o = reinterpret_cast<const Obj*>(array);
  if (o == nullptr || o->kind == Kind::String || o->kind == Kind::Class || o->kind == Kind::Objects) return {};
  return o->raw;
}

std::u16string JniHost::Text(jobject string) const {
  const Obj* o = reinterpret_cast<const Obj*>(string);
  return o != nullptr && o->kind == Kind::String ? o->text : std::u16string{};
}

std::vector<jobject> JniHost::Objects(jobject array) const {
  const Obj* o = reinterpret_cast<const Obj*>(array);
  return o != nullptr && o->kind == Kind::Objects ? o->objs : std::vector<jobject>{};
}

void JniHost::FailCall(JniOp op, int nth) {
  int i = static_cast<int>(op);
  impl_->failAt[i].insert(impl_->calls[i] + nth);
}

void JniHost::ClearFailures() { impl_->failAt.clear(); }

int JniHost::Calls(JniOp op) const { return impl_->calls[static_cast<int>(op)]; }

std::string JniHost::Pending() const { return impl_->pending; }

void JniHost::EndNative() {
  Impl& h = *impl_;
  if (!h.pending.empty()) h.Breach("native returned with " + h.pending + " pending");
  if (!h.heldElements.empty()) h.Breach("native returned holding array elements");
  if (!h.heldStrings.empty()) h.Breach("native returned holding string chars");
  h.pending.clear();
  for (auto& [p, o] : h.heldElements) free(const_cast<void*>(p));
  for (auto& [p, o] : h.heldStrings) free(const_cast<void*>(p));
  h.heldElements.clear();
  h.heldStrings.clear();
}

}  // namespace tovtest
