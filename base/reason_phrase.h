// The reason phrases of the HTTP statuses fiskald gives, written here
// only: the status line of an answer and the title of a problem document
// (sent over HTTP and over the broker alike) take them from here.
#pragma once

namespace fiskal {

// RFC 9110's reason phrase of a status ("Unprocessable Content" for 422).
const char* ReasonPhrase(int status);

}  // namespace fiskal
