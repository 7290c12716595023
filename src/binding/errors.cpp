#include "binding/errors.hpp"

#include <cerrno>
#include <new>
#include <stdexcept>
#include <string>

#include "binding/once.hpp"

// The interpreter's way of taking out and putting back the pending exception changed in 3.12:
// the single-object functions arrived and the three-object ones were deprecated. Which pair the
// module calls is chosen when it is compiled, by the stable ABI version it targets: a module
// for 3.11 and later uses the three-object functions, one for 3.12 and later the new ones.
#if Py_LIMITED_API + 0 >= 0x030C0000
#define PAIRLOOM_SINGLE_OBJECT_EXCEPTIONS 1
#else
#define PAIRLOOM_SINGLE_OBJECT_EXCEPTIONS 0
#endif

namespace pairloom::binding {
namespace {

using tokenizer::Error;
using tokenizer::ErrorKind;

constexpr std::string_view kFallbackPanicText = "native code failed without giving a reason";
constexpr const char* kNoExceptionText = "attempted to fetch exception but none was set";

constexpr const char* kPanicDoc =
    "Raised when native code called from Python meets an internal fault.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "normally travels up the whole stack and ends the interpreter.";

OnceCell panic_cell;

PyRef text_object(std::string_view text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// Sets PanicException(message) without throwing; on failure the interpreter's error stays set.
void set_panic(std::string_view message) noexcept {
  if (message.empty()) message = kFallbackPanicText;
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;
  PyRef text = text_object(message);
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

void set_no_exception_error() noexcept {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, kNoExceptionText);
}

PyObject* io_exception_class(const Error& error) {
  if (error.kind != ErrorKind::os) return PyExc_OSError;
  switch (error.os_error) {
    case ENOENT:
      return PyExc_FileNotFoundError;
    case EPERM:
    case EACCES:
      return PyExc_PermissionError;
    case ECONNREFUSED:
      return PyExc_ConnectionRefusedError;
    case ECONNRESET:
      return PyExc_ConnectionResetError;
    case ECONNABORTED:
      return PyExc_ConnectionAbortedError;
    case EPIPE:
      return PyExc_BrokenPipeError;
    case EEXIST:
      return PyExc_FileExistsError;
    case EAGAIN:
      return PyExc_BlockingIOError;
    case ENOTDIR:
      return PyExc_NotADirectoryError;
    case EISDIR:
      return PyExc_IsADirectoryError;
    case ETIMEDOUT:
      return PyExc_TimeoutError;
    case EINTR:
      return PyExc_InterruptedError;
    case ENOMEM:
      return PyExc_MemoryError;
    default:
      return PyExc_OSError;
  }
}

/// Shows `exception` with its traceback through sys.excepthook, as the interpreter shows an
/// uncaught exception, except that nothing here ends the process: a hook that fails (even by
/// raising SystemExit) is reported as the interpreter reports a failing hook, and the exception
/// then goes to the default display. Leaves no exception set.
void print_notice(PyObject* exception) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
  PyRef traceback = PyRef::steal(PyException_GetTraceback(exception));
  PyObject* hook = PySys_GetObject("excepthook");  // borrowed
  if (hook != nullptr && hook != Py_None) {
    PyRef shown = PyRef::steal(PyObject_CallFunctionObjArgs(
        hook, type, exception, traceback ? traceback.get() : Py_None, nullptr));
    if (shown) return;
    if (PyRef failure = fetch_exception()) {
      PySys_WriteStderr("Error in sys.excepthook:\n");
      PyRef failure_traceback = PyRef::steal(PyException_GetTraceback(failure.get()));
      PyErr_Display(reinterpret_cast<PyObject*>(Py_TYPE(failure.get())), failure.get(),
                    failure_traceback.get());
      PySys_WriteStderr("\nOriginal exception was:\n");
    }
  }
  PyErr_Display(type, exception, traceback.get());
  PyErr_Clear();
}

}  // namespace

PyObject* panic_exception_type() {
  return panic_cell.get([] {
    return PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException,
                                     nullptr);
  });
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    set_no_exception_error();
  } catch (const tokenizer::Interrupted&) {
    // The signal handler's exception (KeyboardInterrupt, say) is already set.
    set_no_exception_error();
  } catch (const tokenizer::InternalFault& fault) {
    set_panic(fault.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    set_panic(failure.what());
  } catch (...) {
    set_panic(kFallbackPanicText);
  }
}

void raise_io_error(const Error& error) {
  PyRef text = checked(text_object(error.message));
  PyErr_SetObject(io_exception_class(error), text.get());
  throw PythonError{};
}

void raise_panic(std::string_view message) {
  set_panic(message);
  throw PythonError{};
}

PyRef fetch_exception() {
#if PAIRLOOM_SINGLE_OBJECT_EXCEPTIONS
  return PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef::steal(value);
#endif
}

void restore_exception(PyRef exception) {
  if (!exception) return;
#if PAIRLOOM_SINGLE_OBJECT_EXCEPTIONS
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
  Py_INCREF(type);
  PyObject* traceback = PyException_GetTraceback(exception.get());
  PyErr_Restore(type, exception.release(), traceback);
#endif
}

void rethrow_conversion_error(const char* name) {
  PyRef exception = fetch_exception();
  if (!exception) {
    PyErr_SetString(PyExc_SystemError, kNoExceptionText);
    throw PythonError{};
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));

  PyObject* panic = panic_cell.peek();
  if (panic != nullptr && type == panic) {
    // A fault that ran through Python code is still a fault: say what came back, then go on
    // as a fault of our own with the same message.
    PyRef text = PyRef::steal(PyObject_Str(exception.get()));
    PySys_WriteStderr(
        "pairloom: a PanicException raised in Python code called by pairloom reached pairloom;"
        " it is raised again as a new PanicException:\n");
    PyRef pending = fetch_exception();  // an error of PyObject_Str, if any, is dropped
    print_notice(exception.get());
    Py_ssize_t size = 0;
    const char* data = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (data == nullptr) {
      PyErr_Clear();
      raise_panic({});
    }
    raise_panic(std::string_view{data, static_cast<std::size_t>(size)});
  }

  if (type == PyExc_TypeError) {
    PyRef message =
        checked(PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", name, exception.get())));
    PyRef replacement = checked(
        PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr)));
    if (PyObject* cause = PyException_GetCause(exception.get())) {
      PyException_SetCause(replacement.get(), cause);  // steals `cause`
    }
    restore_exception(std::move(replacement));
    throw PythonError{};
  }

  restore_exception(std::move(exception));
  throw PythonError{};
}

}  // namespace pairloom::binding
