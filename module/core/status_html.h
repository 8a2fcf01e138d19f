/*
 * The status page as HTML, for renderStatusPage (status_page.h).
 */
#ifndef VANTORELL_STATUS_HTML_H
#define VANTORELL_STATUS_HTML_H

#include "status_page.h"

#include <string>

namespace vantorell {

/* The whole page, appended to *out.  Throws std::bad_alloc. */
void renderStatusHtml(const StatusSnapshot &snapshot, const StatusPageOptions &options,
                      std::string *out);

/* appendStatusText for HTML.  Throws std::bad_alloc. */
void appendHtmlText(std::string *out, const std::string &text);

}  // namespace vantorell

#endif
