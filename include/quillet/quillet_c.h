/* The C interface of libquillet: services behind opaque handles, UTF-8 text, integer result codes. */
#ifndef QUILLET_C_H
#define QUILLET_C_H

#include <quillet/Version.h>

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(QUILLET_STATIC)
#    define QUILLET_C_API
#  elif defined(QUILLET_BUILDING_LIBRARY)
#    define QUILLET_C_API __declspec(dllexport)
#  else
#    define QUILLET_C_API __declspec(dllimport)
#  endif
#else
#  define QUILLET_C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One document's rendering service (IRIPBase in C++). Made by quillet_create,
   destroyed by quillet_release. A handle may be used by several threads, one
   call at a time, except that quillet_stop may be called while another thread
   waits in quillet_take_page or quillet_next_page. No C++ exception leaves any
   function of this interface. */
typedef struct quillet_service quillet_service;

/* Result codes. */
enum {
    QUILLET_OK = 0,
    QUILLET_END = 1,              /* the run is over and that page is not among its pages */
    QUILLET_TIMEOUT = 2,          /* quillet_next_page: no page within the time given */
    QUILLET_ERROR_ARGUMENT = -1,  /* a null handle, an unknown option, a value out of range, a path too long */
    QUILLET_ERROR_CAPTURE = -2,   /* quillet_start: the document could not be captured */
    QUILLET_ERROR_RUN = -3,       /* the run failed or was stopped; quillet_failure says why */
    QUILLET_ERROR_SYSTEM = -4     /* the system refused a pipe, process, thread or memory */
};

/* The stage of a failure (RIPStage). */
enum {
    QUILLET_STAGE_NONE = 0,
    QUILLET_STAGE_CAPTURE = 1,
    QUILLET_STAGE_START = 2,
    QUILLET_STAGE_RENDER = 3,
    QUILLET_STAGE_STOP = 4
};

/* Output formats (RIPFormat). */
enum {
    QUILLET_FORMAT_BMP32B = 0,
    QUILLET_FORMAT_BMPGRAY = 1,
    QUILLET_FORMAT_PNG256 = 2,
    QUILLET_FORMAT_PNGALPHA = 3,
    QUILLET_FORMAT_PNGGRAY = 4,
    QUILLET_FORMAT_JPEG = 5,
    QUILLET_FORMAT_JPEGGRAY = 6,
    QUILLET_FORMAT_TIFF32NC = 7,
    QUILLET_FORMAT_TIFFG32D = 8,
    QUILLET_FORMAT_PNG16M = 9,
    QUILLET_FORMAT_IJS = 10,
    QUILLET_FORMAT_PSWRITE = 11
};

/* Settings of a service, read when a run starts. Numbers go through
   quillet_set and quillet_get, texts through quillet_set_text. Bounds take 0
   for "no bound". */
enum {
    QUILLET_OUTPUT_FOLDER = 1,      /* text; empty: the default folder */
    QUILLET_FORMAT = 2,             /* a QUILLET_FORMAT_ value */
    QUILLET_PAGE_WIDTH = 3,         /* device pixels; the page size is used when both sides are at least 1 */
    QUILLET_PAGE_HEIGHT = 4,
    QUILLET_RESOLUTION = 5,         /* dots per inch; used when at least 1 */
    QUILLET_USE_CIE_COLOR = 6,      /* 0 or 1 */
    QUILLET_SPLIT_MERGE = 7,        /* 0 or 1: the custom parameters replace the output switches */
    QUILLET_USE_TT_FONT = 8,        /* 0 or 1: the system's fonts folder is given to the renderer */
    QUILLET_TIME_LIMIT = 9,         /* seconds */
    QUILLET_MAX_OUTPUT_BYTES = 10,
    QUILLET_MAX_MEMORY_BYTES = 11,
    QUILLET_MAX_PAGES = 12,
    QUILLET_MAX_PAGE_PIXELS = 13,
    QUILLET_FIRST_PAGE = 14,        /* page range; 0 and 0: every page, last 0: to the end */
    QUILLET_LAST_PAGE = 15,
    QUILLET_IJS_MANUFACTURER = 16,  /* text */
    QUILLET_IJS_MODEL = 17,         /* text */
    QUILLET_IJS_PARAMS = 18,        /* text */
    QUILLET_CUSTOM_PARAMS = 19,     /* text: Ghostscript switches, separated by blanks */
    QUILLET_INTENT = 20,            /* text that travels with the job to the preview */
    QUILLET_ANTI_ALIASING = 21,     /* 0 or 1: text and graphics drawn with 4 bits */
    QUILLET_JPEG_QUALITY = 22,      /* 1 to 100; 0: Ghostscript's own */
    QUILLET_PAGE_LIST = 23          /* text: "1,3,5-9" ("12-": to the end) in place of the range; empty: none.
                                       Setting the first or last page clears it; a list that is none fails the
                                       run at its start. quillet_next_page gives the listed pages in page order */
};

/* Texts of the failure record, for quillet_failure. */
enum {
    QUILLET_REASON = 0,  /* one line of English naming the cause */
    QUILLET_REPORT = 1   /* the end of Ghostscript's own report, at most 4 KiB */
};

#define QUILLET_PATH_SIZE 4096

/* One finished page. */
typedef struct quillet_page {
    int32_t number;       /* the document's page number */
    int32_t orientation;  /* 1 portrait, 2 landscape, 3 and 4 the same upside down */
    int32_t width;        /* pixels; 0 for the formats that are no image (PCL, PostScript) */
    int32_t height;
    char path[QUILLET_PATH_SIZE];  /* UTF-8, NUL-ended */
} quillet_page;

/* The library's version, QUILLET_VERSION_STRING of the headers it was built with. */
QUILLET_C_API const char* quillet_version(void);

/* Makes a service for the document at path (UTF-8); every byte of path is
   part of the name. QUILLET_ERROR_ARGUMENT for an empty path or one that holds
   both a quote and a blank, which the job description cannot carry. */
QUILLET_C_API int quillet_create(const char* path, quillet_service** service);
/* Makes a service from a parameter string of key/value pairs, for example
   docname="/docs/a.pdf" password="secret" (see README.md). */
QUILLET_C_API int quillet_create_from_parameters(const char* parameters, quillet_service** service);
/* Destroys the service, stopping its run; service may be null. */
QUILLET_C_API void quillet_release(quillet_service* service);

QUILLET_C_API int quillet_set(quillet_service* service, int option, int64_t value);
QUILLET_C_API int quillet_get(quillet_service* service, int option, int64_t* value);
QUILLET_C_API int quillet_set_text(quillet_service* service, int option, const char* value);

/* Captures the document and starts rendering it; returns once the run is
   under way (an office document's layout done). QUILLET_ERROR_CAPTURE when
   the document could not be captured; a document that cannot be read gives
   QUILLET_OK and a failed run. */
QUILLET_C_API int quillet_start(quillet_service* service);
/* Waits until page number is ready: QUILLET_OK and page filled, QUILLET_END
   when the run ended well without it, QUILLET_ERROR_RUN when it failed or was
   stopped. */
QUILLET_C_API int quillet_take_page(quillet_service* service, int32_t number, quillet_page* page);
/* The run's next page in order, waiting at most timeout_ms milliseconds (a
   negative value: without limit): QUILLET_OK, QUILLET_TIMEOUT, QUILLET_END
   after the last page, or QUILLET_ERROR_RUN. Each start begins anew. */
QUILLET_C_API int quillet_next_page(quillet_service* service, int32_t timeout_ms, quillet_page* page);
/* Ends the run: no page is handed out after it. Any thread. */
QUILLET_C_API int quillet_stop(quillet_service* service);

/* Pages of one copy after a good run; 0 before a run and after a stop; -1
   while rendering and after a failed run. */
QUILLET_C_API int32_t quillet_page_count(quillet_service* service);
/* Copies in the output (-1 while not known), whether they are collated (0 or
   1), and the job's orientation code (0 until known). */
QUILLET_C_API int32_t quillet_copies(quillet_service* service);
QUILLET_C_API int32_t quillet_collated(quillet_service* service);
QUILLET_C_API int32_t quillet_orientation(quillet_service* service);

/* The stage of the last start's failure, QUILLET_STAGE_NONE when nothing failed. */
QUILLET_C_API int32_t quillet_failure_stage(quillet_service* service);
/* Copies a text of the failure record (QUILLET_REASON or QUILLET_REPORT) as
   UTF-8 into buffer, cut to size - 1 bytes and NUL-ended (nothing is written
   when size is 0). Returns the text's whole length in bytes. */
QUILLET_C_API size_t quillet_failure(quillet_service* service, int what, char* buffer, size_t size);

/* The office processes (OfficeSuite.h): their bounds (values below 1, below 0
   for processes, keep the default), an early start, and their end. */
QUILLET_C_API int quillet_set_office_limits(int32_t processes, int32_t documents_per_process,
                                            int32_t time_limit_ms, int64_t memory_limit_bytes);
QUILLET_C_API int quillet_start_office(void);
QUILLET_C_API void quillet_stop_office(void);

/* How the programs that read documents are confined (RIPConfinement bits);
   buffer, when size is not 0, gets the one-line description, as quillet_failure does. */
QUILLET_C_API int32_t quillet_confinement(char* buffer, size_t size);

#ifdef __cplusplus
}
#endif

#endif
