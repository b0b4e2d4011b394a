# Versions for the tests that compare against Orbel's own: the project's
# version as project(... VERSION ...) states it, and the next one, its last
# part plus one. A test that wrote either out would go wrong at the next
# version bump, or quietly test something else ("same" becoming "older").
string(REGEX MATCH "[0-9]+$" orbel_last_part "${PROJECT_VERSION}")
math(EXPR orbel_next_part "${orbel_last_part} + 1")
string(REGEX REPLACE "[0-9]+$" "${orbel_next_part}" ORBEL_NEWER_VERSION "${PROJECT_VERSION}")

# Gives `target` both as string macros: ORBEL_PROJECT_VERSION, ORBEL_NEWER_VERSION.
function(orbel_test_versions target)
  target_compile_definitions(${target} PRIVATE "ORBEL_PROJECT_VERSION=\"${PROJECT_VERSION}\""
                                               "ORBEL_NEWER_VERSION=\"${ORBEL_NEWER_VERSION}\"")
endfunction()
