// Heap types for the module's classes, their instance layout and the borrow flag.
//
// An instance is the object header, the C++ contents, then an atomic borrow flag
// (0 free, -1 exclusively borrowed, else the number of shared borrows). Classes are
// named "builtins.<Name>", cannot be subclassed and carry no __dict__ or weak references.
//
// Defining a class:
//     PyTypeObject* parser_type() {
//         static TypeCell cell;
//         return cell.get([] {
//             return ClassSpec<MsgParser>("MessageParser")
//                 .text_signature("(device_id, msg_type)")
//                 .constructor(&new_parser)          // tp_new; omit for "No constructor defined"
//                 .methods(kMethods)
//                 .build();
//         });
//     }
// and in a method body: `auto self_ref = Borrowed<MsgParser>::exclusive(self, parser_type());`
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "python/binding/errors.hpp"

namespace kx::py {

template <class T>
struct Instance {
    PyObject_HEAD
    T contents;
    std::atomic<std::intptr_t> borrow_flag;
};

template <class T>
Instance<T>* as_instance(PyObject* o) {
    return reinterpret_cast<Instance<T>*>(o);
}

// Holds a class's type object once created (filled under the interpreter lock).
class TypeCell {
public:
    template <class Make>
    PyTypeObject* get(Make&& make) {
        if (type_ == nullptr) type_ = make();
        return type_;
    }
    // For bodies: the type or a fault "failed to create type object for <Name>".
    template <class Make>
    PyTypeObject* require(const char* name, Make&& make) {
        PyTypeObject* t = get(std::forward<Make>(make));
        if (t == nullptr) {
            PyErr_Print();
            fault(std::string("failed to create type object for ") + name);
        }
        return t;
    }

private:
    PyTypeObject* type_ = nullptr;
};

// Builds the heap type from name, doc, slots and the instance layout.
PyTypeObject* build_type(const std::string& name, const std::string& doc, int basicsize, destructor dealloc,
                         std::vector<PyType_Slot> slots);

// tp_new of classes without a constructor: TypeError "No constructor defined for <Name>".
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*);

template <class T>
void dealloc_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    try {
        as_instance<T>(self)->contents.~T();
    } catch (...) {
        utils::pass_forced_unwind();  // the thread is being ended at interpreter shutdown
        PyErr_SetString(PyExc_RuntimeError, "destructor of a native object failed");
        PyErr_WriteUnraisable(self);
    }
    freefunc free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    (free_fn ? free_fn : PyObject_Free)(self);
    Py_DECREF(type);
}

template <class T>
class ClassSpec {
public:
    explicit ClassSpec(std::string name) : name_(std::move(name)) {}
    ClassSpec& text_signature(const std::string& sig) {
        doc_ = name_ + sig + "\n--\n\n";
        return *this;
    }
    ClassSpec& constructor(newfunc fn) {
        new_ = fn;
        return *this;
    }
    ClassSpec& methods(PyMethodDef* defs) { return slot(Py_tp_methods, defs); }
    ClassSpec& slot(int id, void* fn) {
        slots_.push_back({id, fn});
        return *this;
    }
    template <class Fn>
    ClassSpec& slot(int id, Fn* fn) {
        return slot(id, reinterpret_cast<void*>(fn));
    }
    PyTypeObject* build() {
        slots_.push_back({Py_tp_new, reinterpret_cast<void*>(new_ ? new_ : &no_constructor)});
        return build_type(name_, doc_, static_cast<int>(sizeof(Instance<T>)), &dealloc_instance<T>,
                          std::move(slots_));
    }

private:
    std::string name_;
    std::string doc_;
    newfunc new_ = nullptr;
    std::vector<PyType_Slot> slots_;
};

// Allocates an instance of `type` and moves `contents` in; null with an error set on failure.
template <class T>
PyObject* make_instance(PyTypeObject* type, T&& contents) {
    allocfunc alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = (alloc ? alloc : PyType_GenericAlloc)(type, 0);
    if (obj == nullptr) return nullptr;
    auto* inst = as_instance<std::decay_t<T>>(obj);
    new (&inst->contents) std::decay_t<T>(std::forward<T>(contents));
    new (&inst->borrow_flag) std::atomic<std::intptr_t>(0);
    return obj;
}

// A shared or exclusive borrow of an instance's contents for the length of a call.
template <class T>
class Borrowed {
public:
    static Borrowed shared(PyObject* obj, PyTypeObject* type, const char* arg_name = nullptr) {
        Instance<T>* inst = checked(obj, type, arg_name);
        std::intptr_t cur = inst->borrow_flag.load();
        do {
            if (cur == -1) raise(PyExc_RuntimeError, "Already mutably borrowed");
        } while (!inst->borrow_flag.compare_exchange_weak(cur, cur + 1));
        return Borrowed(inst, false);
    }
    static Borrowed exclusive(PyObject* obj, PyTypeObject* type, const char* arg_name = nullptr) {
        Instance<T>* inst = checked(obj, type, arg_name);
        std::intptr_t expected = 0;
        if (!inst->borrow_flag.compare_exchange_strong(expected, -1)) raise(PyExc_RuntimeError, "Already borrowed");
        return Borrowed(inst, true);
    }

    Borrowed(Borrowed&& other) noexcept : inst_(std::exchange(other.inst_, nullptr)), exclusive_(other.exclusive_) {}
    Borrowed(const Borrowed&) = delete;
    ~Borrowed() { release(); }

    void release() {
        if (inst_ == nullptr) return;
        if (exclusive_) inst_->borrow_flag.store(0);
        else inst_->borrow_flag.fetch_sub(1);
        inst_ = nullptr;
    }
    T& operator*() const { return inst_->contents; }
    T* operator->() const { return &inst_->contents; }

private:
    Borrowed(Instance<T>* inst, bool exclusive) : inst_(inst), exclusive_(exclusive) {}
    static Instance<T>* checked(PyObject* obj, PyTypeObject* type, const char* arg_name);
    Instance<T>* inst_;
    bool exclusive_;
};

[[noreturn]] void raise_wrong_instance(PyObject* obj, PyTypeObject* type, const char* arg_name);

template <class T>
Instance<T>* Borrowed<T>::checked(PyObject* obj, PyTypeObject* type, const char* arg_name) {
    if (!PyObject_TypeCheck(obj, type)) raise_wrong_instance(obj, type, arg_name);
    return as_instance<T>(obj);
}

// Fast-call method table entry with a text signature, e.g.
//   KX_METHOD("receive_data", receive_data, "($self, data)")
#define KX_METHOD(name, fn, sig)                                                                \
    PyMethodDef {                                                                               \
        name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)),              \
            METH_FASTCALL | METH_KEYWORDS, name sig "\n--\n\n"                                  \
    }
#define KX_METHOD_NOARGS(name, fn)                                                              \
    PyMethodDef {                                                                               \
        name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_NOARGS, \
            name "($self)\n--\n\n"                                                              \
    }
#define KX_FUNCTION_NOARGS(name, fn)                                                            \
    PyMethodDef {                                                                               \
        name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_NOARGS, \
            name "()\n--\n\n"                                                                   \
    }

}  // namespace kx::py
