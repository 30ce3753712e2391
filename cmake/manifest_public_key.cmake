# write_manifest_public_key_header(PEM HEADER) writes HEADER from update/manifest_public_key.h.in: the
# ECDSA P-256 public key in the PEM file as the 64 bytes of its point, X then Y; with PEM empty, no key,
# and the launcher checks no manifest signature.
function(write_manifest_public_key_header pem header)
    set(manifest_key_bytes "")
    if(pem)
        set(der ${header}.der)
        get_filename_component(folder ${header} DIRECTORY)
        file(MAKE_DIRECTORY ${folder})
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
        string(REGEX REPLACE "(..)" "\\\\x\\1" manifest_key_bytes "${point}")
        # A new key in the same file takes a new configure.
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${pem})
    endif()
    configure_file(${PROJECT_SOURCE_DIR}/update/manifest_public_key.h.in ${header} @ONLY)
endfunction()
