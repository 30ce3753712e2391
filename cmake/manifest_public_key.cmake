# write_manifest_public_key_header(PEMS MIN_SERIAL HEADER) writes HEADER from
# update/manifest_public_key.h.in: the ECDSA P-256 public keys in the PEM files of the list PEMS, each
# as the 64 bytes of its point, X then Y, and the lowest manifest serial a keyed launcher accepts; with
# PEMS empty, no key, and the launcher checks neither a manifest's signature nor its serial.
function(write_manifest_public_key_header pems min_serial header)
    set(manifest_min_serial ${min_serial})
    set(manifest_key_bytes "")
    foreach(pem IN LISTS pems)
        manifest_public_key_point(point "${pem}" ${header}.der)
        string(FIND "${manifest_key_bytes}" "${point}" earlier)
        if(NOT earlier EQUAL -1)
            # Listed twice, it is still one key: nothing to sign with once it is lost.
            message(FATAL_ERROR "manifest key ${pem}: the same key as one before it in the list")
        endif()
        string(APPEND manifest_key_bytes "${point}")
    endforeach()
    configure_file(${PROJECT_SOURCE_DIR}/update/manifest_public_key.h.in ${header} @ONLY)
endfunction()

# manifest_public_key_point(VAR PEM DER) sets VAR to the point of the ECDSA P-256 public key in the PEM
# file, as C string escapes, converting it through the scratch file DER.
function(manifest_public_key_point var pem der)
    get_filename_component(folder ${der} DIRECTORY)
    file(MAKE_DIRECTORY ${folder})
    if(NOT EXISTS "${pem}")
        # A path kept in the cache to a key on a stick that is now in a drawer, say.
        message(FATAL_ERROR "manifest key ${pem}: not found (only the private half needs to stay "
                            "offline: keep the public one with the build)")
    endif()
    execute_process(COMMAND openssl pkey -pubin -in ${pem} -outform DER -out ${der}
                    RESULT_VARIABLE failed ERROR_VARIABLE error)
    if(failed)
        message(FATAL_ERROR "manifest key ${pem}: not a public key in PEM form\n${error}")
    endif()
    file(READ ${der} spki HEX)
    file(REMOVE ${der})
    # A SubjectPublicKeyInfo of id-ecPublicKey on prime256v1 with an uncompressed point: this
    # header, then 04, X and Y.
    set(p256_header "3059301306072a8648ce3d020106082a8648ce3d03010703420004")
    string(LENGTH "${p256_header}" header_length)
    string(LENGTH "${spki}" length)
    string(SUBSTRING "${spki}" 0 ${header_length} found_header)
    math(EXPR expected_length "${header_length} + 128")
    if(NOT length EQUAL expected_length OR NOT found_header STREQUAL p256_header)
        message(FATAL_ERROR "manifest key ${pem}: not an ECDSA P-256 public key")
    endif()
    string(SUBSTRING "${spki}" ${header_length} 128 point)
    string(REGEX REPLACE "(..)" "\\\\x\\1" point "${point}")
    # A new key in the same file takes a new configure.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${pem})
    set(${var} "${point}" PARENT_SCOPE)
endfunction()

# manifest_min_serial(VAR PEMS): LAUNCHER_MANIFEST_MIN_SERIAL when given, else the commit time of the
# source in seconds since 1970, so that two builds of one commit are the same and no manifest signed
# before the source of a keyed launcher existed (one that lists the keyless launcher) is ever acted on.
# Without git a keyed build must be given the minimum; a keyless one, which ignores it, takes 1.
function(manifest_min_serial var pems)
    set(serial "${LAUNCHER_MANIFEST_MIN_SERIAL}")
    if(serial STREQUAL "")
        execute_process(COMMAND git log -1 --format=%ct
                        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                        RESULT_VARIABLE failed OUTPUT_VARIABLE serial ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(failed OR NOT serial MATCHES "^[1-9][0-9]*$")
            if(pems)
                message(FATAL_ERROR "no git commit time for LAUNCHER_MANIFEST_MIN_SERIAL: give it, e.g. "
                                    "-DLAUNCHER_MANIFEST_MIN_SERIAL=$(date +%s) when the source was taken")
            endif()
            set(serial 1)
        elseif(pems)
            # A new commit takes a new configure, so that a keyed build's minimum follows it.
            execute_process(COMMAND git rev-parse --git-path logs/HEAD
                            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                            OUTPUT_VARIABLE head_log ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
            get_filename_component(head_log "${head_log}" ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
            if(EXISTS "${head_log}")
                set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${head_log})
            endif()
        endif()
    endif()
    string(LENGTH "${serial}" length)
    if(NOT serial MATCHES "^[1-9][0-9]*$" OR length GREATER 19
       OR (length EQUAL 19 AND serial STRGREATER "9223372036854775807"))
        message(FATAL_ERROR "LAUNCHER_MANIFEST_MIN_SERIAL ${serial}: not a decimal number from 1 to 2^63-1")
    endif()
    set(${var} ${serial} PARENT_SCOPE)
endfunction()
