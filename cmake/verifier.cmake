# The verifier's one file, build/<preset>/verify-release: a zipapp of release/verify/ with the
# release contract inside, made by release/pack_verifier.py with Debian's Python. The same
# commit gives the same bytes from any checkout (fixed order, dates and modes, no paths).
# The target shares the file's name, which Ninja cannot also have as an output of its own:
# the packer runs with every build and rewrites the file only when its bytes change.
set(DORVANE_PYTHON /usr/bin/python3 CACHE FILEPATH "Debian's Python, which the release tools and the verifier run on")
add_custom_target(verify-release ALL
  COMMAND ${DORVANE_PYTHON} -I ${PROJECT_SOURCE_DIR}/release/pack_verifier.py ${PROJECT_SOURCE_DIR}
          ${PROJECT_BINARY_DIR}/verify-release
  COMMENT "Packing the verifier into one file: verify-release"
  VERBATIM)
