#!/bin/sh
# Doxygen input filter for orv_lib.h: a plain comment after a record member or
# result code documents that member, and the network link's notes document
# NetworkOpenRecord, and the result codes' enum gets its summary; the header
# itself stays plain C comments.
exec sed -E -e 's#^(\s+[A-Za-z_].*(;|,|= [0-9]+)\s*)/\* #\1/**< #' \
            -e 's#^enum OlResult \{#/** The result codes: 0 is success; every other code says what stopped the call. */ enum OlResult {#' \
            -e 's#^/\* Network link \(Ol_Open_MWS\):#/** Opens the network link (Ol_Open_MWS).#' "$1"
