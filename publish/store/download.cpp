#include "publish/store/download.h"

#include "publish/archive/byte_io.h"
#include "engine/helpers.h"
#include "publish/files/output_file.h"
#include "platform/signals.h"
#include "publish/publish_log.h"

#include <SDL.h>

#include <errno.h>
#include <physfs.h>

#define DOWNLOAD_POLL_MS 100

static const OutputTexts download_texts = {
    {"Couldn't open ", " for writing"},
    {"Couldn't write ", ""},
    {"Couldn't write ", ""},
};

/* The request's on_data callback: appends the block to the OutFile in
 * the request's user field; 0 (abort) when the write fails. */
static int download_write_chunk(HttpRequest *request)
{
    OutFile *file = (OutFile *)request->user;
    if (byte_io_write_all(file, request->data, request->data_len))
        return 1;
    publish_log_error("Failed to write download to file: %s", byte_io_error());
    return 0;
}

int download_to_file(const char *url, const char *path)
{
    /* Written under a temporary name: a failed download leaves a file
     * that was at path as it was. */
    OutFile *file = output_open_result(path, &download_texts);
    if (!file)
        return 0;
    HttpRequest request;
    SDL_zero(request);
    request.user = file;
    request.on_data = download_write_chunk;

    if (http_start_request(HTTP_REQUEST_GET, "GET", url, NULL, NULL, 0, &request)) {
        /* The client completes every request it started, so this ends. */
        while (!request.done) {
            http_pump();
            signals_checkpoint();
            if (!request.done)
                SDL_Delay(DOWNLOAD_POLL_MS);
        }
    }
    int keep = request.status == 200;
    if (output_finish(file, keep))
        return 1;
    if (keep) /* whole, yet it could not take its name */
        output_log_failure(&download_texts.close_failed, path, output_native_cause(errno));
    publish_log_error("Download of '%s' failed", url ? url : "(null)");
    return 0;
}
