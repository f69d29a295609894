import tessaline


def test_module_imports_with_empty_docstring():
    assert tessaline.__doc__ == ""
