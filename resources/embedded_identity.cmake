# Run by the build (cmake -P) whenever an embedded file changes: writes the
# source that tells `zntv-upgrade --version` each embedded file's size and
# SHA-256, so that the figures describe exactly the bytes that went in.
#
# Inputs: PROGRAMMER, DEVICE_IMAGE (the embedded files), TEMPLATE, OUTPUT.
foreach(input IN ITEMS PROGRAMMER DEVICE_IMAGE)
  file(SHA256 "${${input}}" ${input}_SHA256)
  file(SIZE "${${input}}" ${input}_SIZE)
endforeach()
configure_file("${TEMPLATE}" "${OUTPUT}" @ONLY)
