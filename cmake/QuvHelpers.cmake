# quv_test(<name> SOURCES <files...> LIBS <targets...> [QT] [THREADS])
# Defines one test executable and registers it with CTest. GoogleTest tests
# are discovered case by case; QT tests are QtTest programs run on the
# offscreen platform as one CTest entry. THREADS marks a program whose tests
# run threads: its tests get the label "threads", and the target
# threaded_tests builds every such program (the thread sanitizer runs them).
function(quv_test name)
  cmake_parse_arguments(ARG "QT;THREADS" "" "SOURCES;LIBS" ${ARGN})
  set(labels "")
  if(ARG_THREADS)
    set(labels threads)
    if(NOT TARGET threaded_tests)
      add_custom_target(threaded_tests)
    endif()
    add_dependencies(threaded_tests ${name})
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  if(ARG_QT)
    target_link_libraries(${name} PRIVATE Qt6::Test)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
                         LABELS "${labels}")
  else()
    target_link_libraries(${name} PRIVATE quv_test_main GTest::gmock)
    include(GoogleTest)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${labels}")
  endif()
endfunction()

# quv_bench(<name> SOURCES <files...> LIBS <targets...>)
function(quv_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} quv_client benchmark::benchmark)
endfunction()

# quv_fuzz(<name> SOURCES <files...> LIBS <targets...>)
function(quv_fuzz name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES} ${CMAKE_SOURCE_DIR}/tests/kit/FuzzScope.cpp)
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} quv_client)
endfunction()

# quv_add_resources(<target> <TYPE> <name> <file> [<name> <file>...])
# Compiles each file into the executable <target> as the program resource
# TYPE/name. The generated source joins the executable itself, not a static
# library, so the linker cannot drop it.
set(QUV_EMBED_RESOURCE_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/QuvEmbedResource.cmake)
function(quv_add_resources target type)
  set(pairs ${ARGN})
  list(LENGTH pairs count)
  math(EXPR odd "${count} % 2")
  if(count EQUAL 0 OR odd)
    message(FATAL_ERROR "quv_add_resources: give name and file pairs")
  endif()
  while(pairs)
    list(POP_FRONT pairs name file)
    get_filename_component(file "${file}" ABSOLUTE)
    string(MAKE_C_IDENTIFIER "${target}_${type}_${name}" symbol)
    set(source ${CMAKE_CURRENT_BINARY_DIR}/resources/${symbol}.cpp)
    add_custom_command(OUTPUT ${source}
      COMMAND ${CMAKE_COMMAND} -DINPUT=${file} -DOUTPUT=${source} -DTYPE=${type}
              -DNAME=${name} -DSYMBOL=${symbol} -P ${QUV_EMBED_RESOURCE_SCRIPT}
      DEPENDS ${file} ${QUV_EMBED_RESOURCE_SCRIPT}
      COMMENT "Embedding ${type} resource ${name}"
      VERBATIM)
    target_sources(${target} PRIVATE ${source})
  endwhile()
endfunction()

# quv_interface_file(<target> <description.json> [RESOURCE])
# Builds <name>.quv from the description with the quvintf tool into the
# calling folder's binary directory (beside <target> when it is an executable
# built there) and makes <target> depend on it; with RESOURCE the file is also
# compiled into <target> as the QUVFILE resource of the upper-cased name.
function(quv_interface_file target description)
  cmake_parse_arguments(ARG "RESOURCE" "" "" ${ARGN})
  get_filename_component(description "${description}" ABSOLUTE)
  get_filename_component(name "${description}" NAME_WE)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${name}.quv)
  add_custom_command(OUTPUT ${output}
    COMMAND quvintf build ${description} ${output}
    DEPENDS quvintf ${description}
    COMMENT "Building interface file ${name}.quv"
    VERBATIM)
  target_sources(${target} PRIVATE ${output})
  if(ARG_RESOURCE)
    string(TOUPPER "${name}" resource)
    quv_add_resources(${target} QUVFILE ${resource} ${output})
  endif()
endfunction()
