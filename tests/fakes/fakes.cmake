# The fake plug-ins of the test suite, one family: a source here per kind of behaviour, each
# built into as many libraries as a test needs, told apart by compile definitions (see the
# head of each source):
#   fake_plugin.c      the host's view: tags, answers that overrun, crash or hang (plugin_host)
#   raw_plugin.cpp     a picture format of its own, read and written exactly (imaging, bench)
#   dialog_plugin.cpp  patterns, settings and a job held while a test watches (app)
#   hostile.cpp        crashes, lies and races in a batch, input and output (cli)
# A test folder lays them out in plug-in folders of its own, or points a list at their folder.
# Included by tests/CMakeLists.txt, so the folders and target lists below are seen by every
# test folder.
#
# faltrix_add_fake_plugin(<target> SOURCE <file> DIR <folder> [NAME <file name>]
#                         [DEFINITIONS ...] [LIBS ...])
# Makes <folder>/<file name>.so (default: the target's name) with only the entry points exported.
function(faltrix_add_fake_plugin target)
  cmake_parse_arguments(F "" "SOURCE;DIR;NAME" "DEFINITIONS;LIBS" ${ARGN})
  if(NOT F_NAME)
    set(F_NAME ${target})
  endif()
  add_library(${target} MODULE ${FALTRIX_FAKES_SOURCE_DIR}/${F_SOURCE})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${F_NAME}
    LIBRARY_OUTPUT_DIRECTORY ${F_DIR}
    C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${target} PRIVATE ${FALTRIX_FAKES_SOURCE_DIR})
  target_compile_definitions(${target} PRIVATE ${F_DEFINITIONS})
  target_link_libraries(${target} PRIVATE faltrix_sdk ${F_LIBS})
endfunction()
set(FALTRIX_FAKES_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR})

# ---- fake_plugin.c: fake_plugin_<variant>.so in FALTRIX_FAKE_PLUGIN_DIR -----------------------
set(FALTRIX_FAKE_PLUGIN_DIR ${CMAKE_BINARY_DIR}/tests/fakes)
function(host_fake variant)
  faltrix_add_fake_plugin(fake_plugin_${variant} SOURCE fake_plugin.c DIR ${FALTRIX_FAKE_PLUGIN_DIR}
    DEFINITIONS FAKE_NAME="${variant}" ${ARGN})
endfunction()
host_fake(input)
host_fake(output FAKE_TAG="00OUT_EX" FAKE_KIND_OUTPUT)
host_fake(wrong_tag FAKE_TAG="NOT_A_TAG")
host_fake(tag_case_input FAKE_TAG="00iN_EX")
host_fake(tag_case_output FAKE_TAG="00OUT_eX" FAKE_KIND_OUTPUT)
host_fake(no_info FAKE_NO_INFO)
host_fake(input_bare FAKE_NO_OTHERS)
host_fake(output_bare FAKE_TAG="00OUT_EX" FAKE_KIND_OUTPUT FAKE_NO_OTHERS)
host_fake(input_failing FAKE_FAIL)
host_fake(output_failing FAKE_TAG="00OUT_EX" FAKE_KIND_OUTPUT FAKE_FAIL)
host_fake(overlong_tag FAKE_OVERLONG=1)
host_fake(overlong_info FAKE_OVERLONG=2)
host_fake(info_crash FAKE_MISBEHAVE=1)
host_fake(info_overrun FAKE_MISBEHAVE=2)
host_fake(info_hang FAKE_MISBEHAVE=3)
# Right tag, then a fault when asked for the description or a pattern.
host_fake(description_crash FAKE_MISBEHAVE=1 FAKE_MISBEHAVE_AT=1)
host_fake(description_hang FAKE_MISBEHAVE=3 FAKE_MISBEHAVE_AT=1)
host_fake(description_overrun FAKE_MISBEHAVE=2 FAKE_MISBEHAVE_AT=1)
host_fake(pattern_overstep FAKE_MISBEHAVE=4 FAKE_MISBEHAVE_AT=2)
# A library that is not a plug-in but exports GetPluginInfo with the input tag: the fake source
# built as a shared library that exports GetPluginInfo only. borrowed_info, which exports no
# GetPluginInfo of its own, links it, so that a lookup through the plug-in's handle finds the
# dependency's definition. The host must not count it.
add_library(fake_dependency SHARED ${FALTRIX_FAKES_SOURCE_DIR}/fake_plugin.c)
set_target_properties(fake_dependency PROPERTIES
  LIBRARY_OUTPUT_DIRECTORY ${FALTRIX_FAKE_PLUGIN_DIR} C_VISIBILITY_PRESET hidden)
target_compile_definitions(fake_dependency PRIVATE FAKE_NAME="dependency" FAKE_NO_OTHERS FAKE_DEPENDENCY)
target_link_libraries(fake_dependency PRIVATE faltrix_sdk)
faltrix_add_fake_plugin(fake_plugin_borrowed_info SOURCE fake_plugin.c DIR ${FALTRIX_FAKE_PLUGIN_DIR}
  DEFINITIONS FAKE_NAME="borrowed_info" FAKE_NO_INFO FAKE_USES_DEPENDENCY LIBS fake_dependency)
# Tests link it into folders of their own, where $ORIGIN would name that folder: it finds its
# dependency by the absolute path.
set_target_properties(fake_plugin_borrowed_info PROPERTIES BUILD_RPATH_USE_ORIGIN OFF)

# ---- raw_plugin.cpp: <kind>_<variant>/raw.so in FALTRIX_RAW_PLUGIN_DIR -------------------------
# A test points a plug-in list straight at the variant it needs; the benchmarks use input_raw
# and output_raw.
set(FALTRIX_RAW_PLUGIN_DIR ${CMAKE_BINARY_DIR}/tests/imaging_plugins)
set(FALTRIX_RAW_PLUGINS "")
foreach(variant input_raw input_no_support input_no_issupported:RAW_NO_ISSUPPORTED input_no_info
                input_no_decode input_stale_bitmap output_raw:RAW_OUTPUT output_no_store:RAW_OUTPUT
                input_frames:RAW_FRAMES output_frames:RAW_OUTPUT:RAW_FRAMES
                output_frames_fail2:RAW_OUTPUT:RAW_FRAMES)
  string(REPLACE ":" ";" parts ${variant})
  list(POP_FRONT parts variant)
  faltrix_add_fake_plugin(imaging_test_${variant} SOURCE raw_plugin.cpp NAME raw
    DIR ${FALTRIX_RAW_PLUGIN_DIR}/${variant} DEFINITIONS RAW_VARIANT="${variant}" ${parts}
    LIBS faltrix_gdi faltrix_plugin_kit)
  list(APPEND FALTRIX_RAW_PLUGINS imaging_test_${variant})
endforeach()

# ---- dialog_plugin.cpp: <variant>.so in FALTRIX_DIALOG_PLUGIN_DIR ------------------------------
set(FALTRIX_DIALOG_PLUGIN_DIR ${CMAKE_BINARY_DIR}/tests/dialog_plugins)
set(FALTRIX_DIALOG_PLUGINS "")
function(dialog_fake variant tag description patterns)
  faltrix_add_fake_plugin(dialog_plugin_${variant} SOURCE dialog_plugin.cpp NAME ${variant}
    DIR ${FALTRIX_DIALOG_PLUGIN_DIR} LIBS faltrix_gdi
    DEFINITIONS DP_TAG="${tag}" DP_DESCRIPTION="${description}" DP_PATTERNS=${patterns} ${ARGN})
  set(FALTRIX_DIALOG_PLUGINS ${FALTRIX_DIALOG_PLUGINS} dialog_plugin_${variant} PARENT_SCOPE)
endfunction()
dialog_fake(in_one 00IN_EX "Input one" 1)
dialog_fake(in_two 00IN_EX "Input two" 2)
dialog_fake(in_none 00IN_EX "Input none" 0)
dialog_fake(in_dq 00IN_EX "Input dq" 1 [[DP_SUPPORTS=".dq"]])
dialog_fake(in_dr 00IN_EX "Input dr" 1 [[DP_SUPPORTS=".dr"]])
dialog_fake(in_blank 00IN_EX "" 1)
dialog_fake(out_one 00OUT_EX "Output one" 1)
dialog_fake(out_two 00OUT_EX "Output two" 2)
dialog_fake(in_plain 00IN_EX "Input plain" 1 DP_NO_SETTINGS)
dialog_fake(out_plain 00OUT_EX "Output plain" 1 DP_NO_SETTINGS)

# ---- hostile.cpp: hostile.so in tests/cli_plugins (input) and tests/cli_output_plugins ------
faltrix_add_fake_plugin(cli_hostile_plugin SOURCE hostile.cpp NAME hostile
  DIR ${CMAKE_BINARY_DIR}/tests/cli_plugins LIBS faltrix_plugin_kit)
faltrix_add_fake_plugin(cli_hostile_output_plugin SOURCE hostile.cpp NAME hostile
  DIR ${CMAKE_BINARY_DIR}/tests/cli_output_plugins DEFINITIONS HOSTILE_OUTPUT
  LIBS faltrix_plugin_kit)
