"""DICConfig from Python: the 32 properties, their defaults and their conversion rules."""

import numpy as np
import pytest

# The specified module is a CPython 3.12 module: on other versions its tests skip.
dic = pytest.importorskip("_morvex_dic", reason="_morvex_dic is built for CPython 3.12 only")

# The C++ defaults of every exposed member, in the order the class registers them.
CPP_DEFAULTS = [
    ("subset_size", 29),
    ("step", 7),
    ("search_range", 21),
    ("search_center_u", 0),
    ("search_center_v", 0),
    ("residual_search_range", -1),
    ("max_iterations", 50),
    ("convergence_threshold", 1e-6),
    ("znssd_threshold", 0.5),
    ("use_fft_search", True),
    ("use_bicubic", True),
    ("use_tracking_simplex", False),
    ("tracking_integer_initialization", True),
    ("tracking_spatial_recovery", True),
    ("robust_max_iterations", 1000),
    ("robust_tolerance", 1e-6),
    ("robust_delta_disp", 1.0),
    ("robust_delta_theta", 0.1),
    ("disp_jump_tolerance", 8.0),
    ("theta_jump_tolerance", 0.1),
    ("tracking_min_zncc", 0.2),
    ("seed_u_arr", []),
    ("seed_v_arr", []),
    ("strain_window", 5),
    ("compute_strain", True),
    ("roi_x0", -1),
    ("roi_y0", -1),
    ("roi_x1", -1),
    ("roi_y1", -1),
    ("enable_denoise", False),
    ("denoise_method", "gaussian"),
    ("enable_contrast_enhance", False),
]
INT_PROPERTIES = [name for name, value in CPP_DEFAULTS if type(value) is int]
FLOAT_PROPERTIES = [name for name, value in CPP_DEFAULTS if type(value) is float]
BOOL_PROPERTIES = [name for name, value in CPP_DEFAULTS if type(value) is bool]
LIST_PROPERTIES = ["seed_u_arr", "seed_v_arr"]


class Index:
    """Not an int, but converts to one."""

    def __index__(self):
        return 4


def test_class_exposes_exactly_the_properties_in_order():
    properties = [name for name, value in vars(dic.DICConfig).items()
                  if isinstance(value, property)]
    assert properties == [name for name, _ in CPP_DEFAULTS]
    public = {name for name in dir(dic.DICConfig) if not name.startswith("__")}
    assert public == set(properties)


def test_defaults_equal_the_cpp_ones():
    config = dic.DICConfig()
    for name, value in CPP_DEFAULTS:
        read = getattr(config, name)
        assert type(read) is type(value) and read == value, name


@pytest.mark.parametrize("name", INT_PROPERTIES)
def test_int_property_takes_integers_and_refuses_floats(name):
    config = dic.DICConfig()
    for value, stored in [(2, 2), (np.int64(-3), -3), (Index(), 4), (2**31 - 1, 2**31 - 1)]:
        setattr(config, name, value)
        assert type(getattr(config, name)) is int and getattr(config, name) == stored
    for refused in [2.0, np.float64(2.0), "2", 2**31, None]:
        with pytest.raises(TypeError):
            setattr(config, name, refused)
    assert getattr(config, name) == 2**31 - 1


@pytest.mark.parametrize("name", FLOAT_PROPERTIES)
def test_float_property_takes_any_real_number(name):
    config = dic.DICConfig()
    for value in [1, np.float32(0.5), np.int16(3), 2.25]:
        setattr(config, name, value)
        assert type(getattr(config, name)) is float and getattr(config, name) == float(value)
    with pytest.raises(TypeError):
        setattr(config, name, "0.5")


@pytest.mark.parametrize("name", BOOL_PROPERTIES)
def test_bool_property_takes_python_and_numpy_booleans(name):
    config = dic.DICConfig()
    for value in [True, False, np.bool_(True), np.bool_(False)]:
        setattr(config, name, value)
        assert getattr(config, name) is bool(value)


@pytest.mark.parametrize("name", LIST_PROPERTIES)
def test_list_property_has_copy_semantics(name):
    config = dic.DICConfig()
    getattr(config, name).append(1.0)
    assert getattr(config, name) == []

    for value in [[1.5, -2.0], (1.5, -2.0), np.array([1.5, -2.0]), [np.int32(3), 4]]:
        setattr(config, name, value)
        read = getattr(config, name)
        assert read == [float(v) for v in value] and all(type(v) is float for v in read)
        assert read is not getattr(config, name)
    source = [7.0]
    setattr(config, name, source)
    source.append(8.0)
    assert getattr(config, name) == [7.0]


@pytest.mark.parametrize("refused", ["12", b"12", 5, None, ["a"], [[1.0]]])
@pytest.mark.parametrize("name", LIST_PROPERTIES)
def test_list_property_refuses_text_and_non_numbers(name, refused):
    config = dic.DICConfig()
    setattr(config, name, [1.0])
    with pytest.raises(TypeError):
        setattr(config, name, refused)
    assert getattr(config, name) == [1.0]


@pytest.mark.parametrize("value, read", [
    ("median", "median"),
    ("no such method", "no such method"),
    (b"nlm", "nlm"),
    ("m\u00e9dian", "m\u00e9dian"),
])
def test_denoise_method_stores_text_and_bytes(value, read):
    config = dic.DICConfig()
    config.denoise_method = value
    assert config.denoise_method == read


def test_denoise_method_with_invalid_utf8_is_stored_and_fails_on_read():
    config = dic.DICConfig()
    config.denoise_method = b"\xff\xfe"
    with pytest.raises(UnicodeDecodeError):
        _ = config.denoise_method
    config.denoise_method = "gaussian"
    assert config.denoise_method == "gaussian"


def test_configs_are_independent():
    first, second = dic.DICConfig(), dic.DICConfig()
    first.seed_u_arr = [1.0]
    first.denoise_method = "nlm"
    first.step = 3
    assert (second.seed_u_arr, second.denoise_method, second.step) == ([], "gaussian", 7)


@pytest.mark.parametrize("name", ["denoise_kernel_size", "progress_callback", "stepp"])
def test_unknown_attribute_is_refused(name):
    config = dic.DICConfig()
    with pytest.raises(AttributeError):
        setattr(config, name, 3)
    with pytest.raises(AttributeError):
        getattr(config, name)
