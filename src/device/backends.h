// The backends built into an executable, and the choice between them at start-up. Used by code that
// is compiled once (the entry points), which calls into the backend namespaces cvt::gpu / cvt::sim.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "cvt_backends_built.h"

#if CVT_BUILT_GPU
#define CVT_GPU_BACKEND(X) X(gpu)
#else
#define CVT_GPU_BACKEND(X)
#endif
#if CVT_BUILT_SIM
#define CVT_SIM_BACKEND(X) X(sim)
#else
#define CVT_SIM_BACKEND(X)
#endif

// Expands X(namespace) once per backend built, the GPU first: the order of preference.
#define CVT_FOR_EACH_BACKEND(X) CVT_GPU_BACKEND(X) CVT_SIM_BACKEND(X)

// Backend namespaces are inline in cvt wherever they are declared.
#define CVT_DECLARE_BACKEND_PROBE(ns)                   \
    namespace cvt {                                     \
    inline namespace ns {                               \
    std::optional<std::string> unavailableReason();     \
    std::string deviceName();                           \
    }                                                   \
    }
CVT_FOR_EACH_BACKEND(CVT_DECLARE_BACKEND_PROBE)
#undef CVT_DECLARE_BACKEND_PROBE

namespace cvt {

// One backend's probe and one of its entry points, as chooseBackend takes them.
template <class Function>
struct BackendEntry {
    const char* name;
    std::optional<std::string> (*unavailable)();
    Function* run;
};

// A BackendEntry for `function` of backend namespace `ns`, followed by a comma, for a table built
// with CVT_FOR_EACH_BACKEND.
#define CVT_BACKEND_ENTRY(ns, function) \
    ::cvt::BackendEntry<decltype(::cvt::ns::function)>{#ns, &::cvt::ns::unavailableReason, &::cvt::ns::function},

// The first usable backend of `entries` (each with `name` and `unavailable`, GPU first), or none; and
// why each backend before it could not run.
template <class Entry>
struct BackendChoice {
    const Entry* entry = nullptr;
    std::string skipped;
};

template <class Entry, size_t Count>
BackendChoice<Entry> pickBackend(const Entry (&entries)[Count]) {
    BackendChoice<Entry> choice;
    for (const Entry& entry : entries) {
        const std::optional<std::string> why = entry.unavailable();
        if (!why) {
            choice.entry = &entry;
            return choice;
        }
        choice.skipped += (choice.skipped.empty() ? "" : "; ") + *why;
    }
    return choice;
}

// pickBackend's choice, said on standard error: when it is not the GPU, in one line with the reason,
// if `announce`; when there is none, always.
template <class Entry, size_t Count>
const Entry* chooseBackend(const Entry (&entries)[Count], const char* program, bool announce = true) {
    const BackendChoice<Entry> choice = pickBackend(entries);
    if (choice.entry == nullptr)
        std::fprintf(stderr, "%s: no backend can run here: %s\n", program, choice.skipped.c_str());
    else if (announce && std::string(choice.entry->name) == "sim")
        std::fprintf(stderr, "%s: running on the CPU simulation (%s)\n", program,
                     choice.skipped.empty() ? "this build has no GPU backend" : choice.skipped.c_str());
    return choice.entry;
}

}  // namespace cvt
