# What makes a build from nothing cheaper without changing what it builds:
# lld as the linker, and the headers most sources include precompiled once per
# build: Qt's for every target that uses Qt, the standard library's for the
# plain C++ ones (the server's forty sources above all).
#
# keycrate_precompile_headers() runs once, after every folder is added: it
# finds the targets itself, so no folder has to ask for it.

include(CheckLinkerFlag)
option(KEYCRATE_LLD "Link with lld where it is installed" ON)
if(KEYCRATE_LLD)
    check_linker_flag(CXX -fuse-ld=lld KEYCRATE_HAVE_LLD)
    if(KEYCRATE_HAVE_LLD)
        add_link_options(-fuse-ld=lld)
    endif()
endif()

# ccache does not cache a compile that reads a precompiled header unless told
# to be sloppy about it; with ccache set, the cache wins.
if(CMAKE_CXX_COMPILER_LAUNCHER MATCHES "ccache" OR "$ENV{CMAKE_CXX_COMPILER_LAUNCHER}" MATCHES "ccache")
    set(keycrate_pch_default OFF)
else()
    set(keycrate_pch_default ON)
endif()
option(KEYCRATE_PCH "Precompile the common headers once for the targets that use them (GCC, clang)"
       ${keycrate_pch_default})

# Code that only tests or measures compiles at a lighter level than the
# product: tests wait on servers and child processes far more than they
# compute. In the release build they compile at -Og, which GCC compiles in a
# sixth to a quarter less time than -O1 and far less than -O3 (clang takes it
# for -O1); in the sanitizer build (Debug at -O1) at -O0, which clang compiles
# in about half the time of -O1 with every check in place. The benchmarks keep
# the product's level where they measure, and build at -O0 in the sanitizer
# build, which only shows that they still build.
set(KEYCRATE_TEST_LEVEL $<$<CONFIG:Release>:-Og>$<$<CONFIG:Debug>:-O0>)
set(KEYCRATE_BENCH_LEVEL $<$<CONFIG:Debug>:-O0>)
# The build's own level per configuration, for product sources that a test
# compiles itself. A header precompiled at -O3 stays valid at -Og, but one
# made with optimisation is refused without it: where the Debug build
# optimises, the tests and benchmarks get precompiled headers of their own.
set(KEYCRATE_PRODUCT_LEVELS)
set(KEYCRATE_PCH_TESTS_OPTIONS)
foreach(config Release Debug)
    string(TOUPPER ${config} upper)
    string(REGEX MATCHALL "-O[0-3gsz]?" levels "${CMAKE_CXX_FLAGS_${upper}}")
    list(POP_BACK levels level)
    if(level)
        list(APPEND KEYCRATE_PRODUCT_LEVELS $<$<CONFIG:${config}>:${level}>)
    endif()
    if(config STREQUAL "Debug" AND level AND NOT level STREQUAL "-O0"
       AND (CMAKE_CONFIGURATION_TYPES OR CMAKE_BUILD_TYPE STREQUAL "Debug"))
        set(KEYCRATE_PCH_TESTS_OPTIONS ${KEYCRATE_TEST_LEVEL})
    endif()
endforeach()

# QtTest defines the folders of each test for QFINDTESTDATA, which none of ours
# uses: with them every test's macros differed and none could take a shared
# header of QtTest, which took a third of a test's compile.
set_property(TARGET Qt6::Test PROPERTY INTERFACE_COMPILE_DEFINITIONS QT_TESTLIB_LIB)

# The headers most of our Qt sources include.
set(KEYCRATE_PCH_CORE
    <QByteArray> <QCoreApplication> <QDateTime> <QDeadlineTimer> <QDebug> <QDir> <QElapsedTimer>
    <QFile> <QFileInfo> <QHash> <QList> <QMap> <QObject> <QProcess> <QSet> <QSettings> <QString>
    <QStringList> <QTemporaryDir> <QThread> <QTimer> <QUrl> <QVariant>
    <atomic> <functional> <map> <memory> <mutex> <string> <vector>)
set(KEYCRATE_PCH_GUI
    <QAction> <QApplication> <QLabel> <QLineEdit> <QMenu> <QMessageBox> <QPushButton> <QTabWidget>
    <QTreeWidget> <QWidget>)
set(KEYCRATE_PCH_NETWORK <QHostAddress> <QTcpServer> <QTcpSocket>)
set(KEYCRATE_PCH_TEST <QSignalSpy> <QTest>)
# What the plain C++ sources share; parsing these took about half of each
# server source's compile.
set(KEYCRATE_PCH_PLAIN
    <algorithm> <chrono> <condition_variable> <cstdint> <cstring> <functional> <map> <memory>
    <mutex> <optional> <stdexcept> <string> <thread> <vector>)

function(keycrate_collect_targets dir out)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(sub IN LISTS subdirs)
        keycrate_collect_targets(${sub} more)
        list(APPEND targets ${more})
    endforeach()
    set(${out} ${targets} PARENT_SCOPE)
endfunction()

# The Qt modules a target links, directly or through the targets it links.
function(keycrate_qt_modules target out)
    set(seen ${target})
    set(queue ${target})
    set(modules)
    while(queue)
        list(POP_FRONT queue t)
        get_target_property(type ${t} TYPE)
        set(links)
        if(NOT type STREQUAL "INTERFACE_LIBRARY" AND t STREQUAL target)
            get_target_property(links ${t} LINK_LIBRARIES)
        endif()
        get_target_property(interface ${t} INTERFACE_LINK_LIBRARIES)
        foreach(link IN LISTS links interface)
            if(link MATCHES "^Qt6::(Core|Gui|Widgets|Network|Test)$")
                list(APPEND modules ${CMAKE_MATCH_1})
            elseif(TARGET ${link} AND NOT link IN_LIST seen)
                get_target_property(imported ${link} IMPORTED)
                if(NOT imported)
                    list(APPEND seen ${link})
                    list(APPEND queue ${link})
                endif()
            endif()
        endforeach()
    endwhile()
    list(REMOVE_DUPLICATES modules)
    set(${out} ${modules} PARENT_SCOPE)
endfunction()

# One target per mix of Qt modules compiles the header; the others reuse it.
# GCC and clang take a precompiled header only where every macro it was made with is
# defined alike, so the donor has no definitions beyond the build's and Qt's.
# A flavor ending in "_tests" is made at the level of the tests and benchmarks.
function(keycrate_pch_donor flavor out)
    set(donor keycrate_pch_${flavor})
    if(NOT TARGET ${donor})
        set(source ${CMAKE_BINARY_DIR}/keycrate_pch/${flavor}.cpp)
        file(CONFIGURE OUTPUT ${source} CONTENT "// The precompiled header's own translation unit.\n")
        add_library(${donor} OBJECT ${source})
        set_target_properties(${donor} PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
        if(flavor MATCHES "_tests$")
            target_compile_options(${donor} PRIVATE ${KEYCRATE_PCH_TESTS_OPTIONS})
        endif()
        if(flavor MATCHES "^plain")
            target_precompile_headers(${donor} PRIVATE ${KEYCRATE_PCH_PLAIN})
            set(${out} ${donor} PARENT_SCOPE)
            return()
        endif()
        set(libs Qt6::Core)
        set(headers ${KEYCRATE_PCH_CORE})
        if(flavor MATCHES "_gui")
            list(APPEND libs Qt6::Widgets)
            list(APPEND headers ${KEYCRATE_PCH_GUI})
        endif()
        if(flavor MATCHES "network")
            list(APPEND libs Qt6::Network)
            list(APPEND headers ${KEYCRATE_PCH_NETWORK})
        endif()
        if(flavor MATCHES "_qgui")
            list(APPEND libs Qt6::Gui)
        endif()
        if(flavor MATCHES "qtest")
            list(APPEND libs Qt6::Test)
            list(APPEND headers ${KEYCRATE_PCH_TEST})
        endif()
        target_link_libraries(${donor} PRIVATE ${libs})
        target_precompile_headers(${donor} PRIVATE ${headers})
    endif()
    set(${out} ${donor} PARENT_SCOPE)
endfunction()

# AUTOMOC compiles the moc output of a target's headers in one generated
# source. A target whose headers declare no Q_OBJECT (most tests: their
# source includes its own moc output) gets an empty one, which would load the
# whole precompiled header to compile nothing, a second each. Sets out to
# whether a header AUTOMOC reads may need moc: one listed among the sources,
# or beside a source under the same name. A miss costs only that second.
function(keycrate_moc_headers target out)
    get_target_property(sources ${target} SOURCES)
    get_target_property(source_dir ${target} SOURCE_DIR)
    foreach(source IN LISTS sources)
        if(source MATCHES "^\\$<")
            set(${out} ON PARENT_SCOPE)
            return()
        endif()
        get_filename_component(path ${source} ABSOLUTE BASE_DIR ${source_dir})
        get_filename_component(folder ${path} DIRECTORY)
        get_filename_component(base ${path} NAME_WLE)
        set(headers)
        if(path MATCHES "\\.(h|hh|h\\+\\+|hm|hpp|hxx|in|txx)$")
            set(headers ${path})
        elseif(path MATCHES "\\.(c|cc|cpp|cxx|c\\+\\+|C)$")
            foreach(suffix "" "_p")
                foreach(extension h hh h++ hm hpp hxx in txx)
                    list(APPEND headers ${folder}/${base}${suffix}.${extension})
                endforeach()
            endforeach()
        endif()
        foreach(header IN LISTS headers)
            if(EXISTS ${header})
                file(STRINGS ${header} declared REGEX "Q_OBJECT|Q_GADGET|Q_NAMESPACE" LIMIT_COUNT 1)
                if(declared)
                    set(${out} ON PARENT_SCOPE)
                    return()
                endif()
            endif()
        endforeach()
    endforeach()
    set(${out} OFF PARENT_SCOPE)
endfunction()

function(keycrate_precompile_headers)
    if(NOT KEYCRATE_PCH OR NOT CMAKE_CXX_COMPILER_ID MATCHES "^(GNU|Clang)$")
        return()
    endif()
    keycrate_collect_targets(${PROJECT_SOURCE_DIR} targets)
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        if(NOT type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
            continue()
        endif()
        # A target that changes the build's macros could not use a shared
        # header.
        get_target_property(automoc ${target} AUTOMOC)
        get_target_property(options ${target} COMPILE_OPTIONS)
        if(target MATCHES "^keycrate_pch_" OR options MATCHES "(^|;)-[DU]")
            continue()
        endif()
        keycrate_qt_modules(${target} modules)
        set(variant)
        if(KEYCRATE_PCH_TESTS_OPTIONS)
            get_target_property(source_dir ${target} SOURCE_DIR)
            foreach(folder tests bench)
                set(lighter ${PROJECT_SOURCE_DIR}/${folder})
                cmake_path(IS_PREFIX lighter ${source_dir} inside)
                if(inside)
                    set(variant _tests)
                endif()
            endforeach()
        endif()
        # Programs that say they are plain C++ (no moc) keep their sources
        # free of Qt: those that link no Qt at all take the standard headers.
        # Programs compile with -fPIE, which the shared header was not made
        # with; theirs is one source anyway.
        if(NOT automoc OR NOT modules)
            if(NOT modules AND NOT type STREQUAL "EXECUTABLE")
                keycrate_pch_donor(plain${variant} donor)
                target_precompile_headers(${target} REUSE_FROM ${donor})
            endif()
            continue()
        endif()
        set(flavor core)
        if("Widgets" IN_LIST modules)
            string(APPEND flavor _gui)
        endif()
        if("Network" IN_LIST modules)
            string(APPEND flavor _network)
        endif()
        # QtTest's headers read QT_GUI_LIB, which Gui without Widgets defines.
        if("Test" IN_LIST modules)
            if("Gui" IN_LIST modules AND NOT "Widgets" IN_LIST modules)
                string(APPEND flavor _qgui)
            endif()
            string(APPEND flavor _qtest)
        endif()
        keycrate_pch_donor(${flavor}${variant} donor)
        target_precompile_headers(${target} REUSE_FROM ${donor})
        keycrate_moc_headers(${target} moc_headers)
        if(NOT moc_headers)
            get_target_property(autogen_dir ${target} AUTOGEN_BUILD_DIR)
            if(NOT autogen_dir)
                get_target_property(binary_dir ${target} BINARY_DIR)
                set(autogen_dir ${binary_dir}/${target}_autogen)
            endif()
            set_source_files_properties(${autogen_dir}/mocs_compilation.cpp TARGET_DIRECTORY ${target}
                                        PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
        endif()
    endforeach()
endfunction()
