"""The module's surface: its attributes, positional-only calls and argument refusal."""

import collections
import importlib.metadata
import pathlib
import types

import numpy as np
import pytest

# The specified module is a CPython 3.12 module: on other versions its tests skip.
dic = pytest.importorskip("_morvex_dic", reason="_morvex_dic is built for CPython 3.12 only")

IMAGE = np.zeros((8, 8))
FUNCTIONS = ["load_image", "generate_speckle", "translate_image", "deform_image",
             "assess_speckle_quality", "export_csv", "export_vtk"]


def test_module_attributes_in_order():
    assert dic.__doc__ == "Morvex-3 DIC Kernel \u2014 self-developed 2D-DIC algorithm engine"
    assert dic.__version__ == "3.0.1"
    # One version: the package metadata is read from the CMake project, like the module's.
    assert importlib.metadata.version("morvex") == dic.__version__
    ours = ["__doc__", "DICConfig", "DICEngine", *FUNCTIONS, "__version__"]
    assert [name for name in vars(dic) if name in ours] == ours
    assert {name for name in vars(dic) if not name.startswith("__")} == set(ours[1:-1])


def test_engine_has_only_run_and_cancel():
    assert {name for name in dir(dic.DICEngine) if not name.startswith("__")} == {"run", "cancel"}
    with pytest.raises(AttributeError):
        dic.DICEngine().progress_callback = None


# One call per function and method with every argument given by keyword instead.
KEYWORD_CALLS = {
    "load_image": lambda: dic.load_image(path="x.png"),
    "generate_speckle": lambda: dic.generate_speckle(8, 8, 2, 0.5, seed=1),
    "translate_image": lambda: dic.translate_image(IMAGE, 0.0, v=0.0),
    "deform_image": lambda: dic.deform_image(image=IMAGE, u=0, v=0, du_dx=0, du_dy=0, dv_dx=0,
                                             dv_dy=0),
    "assess_speckle_quality": lambda: dic.assess_speckle_quality(IMAGE, subset_size=21),
    "export_csv": lambda: dic.export_csv({}, "x.csv", step=7),
    "export_vtk": lambda: dic.export_vtk(result={}, path="x.vtk", step=7),
    "run": lambda: dic.DICEngine().run(IMAGE, IMAGE, config=dic.DICConfig()),
    "run_arg0": lambda: dic.DICEngine().run(IMAGE, IMAGE, arg2=dic.DICConfig()),
    "DICConfig": lambda: dic.DICConfig(step=3),
}
# Every call with one argument missing: no argument has a default.
SHORT_CALLS = {
    "load_image": lambda: dic.load_image(),
    "generate_speckle": lambda: dic.generate_speckle(8, 8, 2, 0.5),
    "translate_image": lambda: dic.translate_image(IMAGE, 0.0),
    "deform_image": lambda: dic.deform_image(IMAGE, 0, 0, 0, 0, 0),
    "assess_speckle_quality": lambda: dic.assess_speckle_quality(IMAGE),
    "export_csv": lambda: dic.export_csv({}, "x.csv"),
    "export_vtk": lambda: dic.export_vtk({}, "x.vtk"),
    "run": lambda: dic.DICEngine().run(IMAGE, IMAGE),
    "cancel": lambda: dic.DICEngine().cancel(1),
}


@pytest.mark.parametrize("call", KEYWORD_CALLS.values(), ids=KEYWORD_CALLS.keys())
def test_keyword_arguments_are_refused(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("call", SHORT_CALLS.values(), ids=SHORT_CALLS.keys())
def test_every_argument_is_required(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("seed", [0, 4294967295, np.uint32(7), np.int64(9)])
def test_seed_takes_the_unsigned_32_bit_range(seed):
    assert dic.generate_speckle(4, 4, 1, 0.5, seed).shape == (4, 4)


@pytest.mark.parametrize("seed", [-1, 4294967296, 1.0])
def test_seed_outside_the_unsigned_32_bit_range_is_refused(seed):
    with pytest.raises(TypeError):
        dic.generate_speckle(4, 4, 1, 0.5, seed)


@pytest.mark.parametrize("args", [(4.0, 4, 1, 0.5, 0), (4, 4, 2**31, 0.5, 0), (4, 4, 1, "0.5", 0)])
def test_int_and_float_arguments_refuse_other_types(args):
    with pytest.raises(TypeError):
        dic.generate_speckle(*args)


@pytest.mark.parametrize("path", [pathlib.Path("x.csv"), 5, None])
def test_paths_must_be_text_or_bytes(path, hand_result):
    with pytest.raises(TypeError):
        dic.export_csv(hand_result, path, 7)
    with pytest.raises(TypeError):
        dic.load_image(path)


@pytest.mark.parametrize("mapping", [
    types.MappingProxyType({}),
    collections.UserDict(),
    [("rows", 0)],
])
def test_result_argument_must_be_a_dict(mapping):
    with pytest.raises(TypeError):
        dic.export_csv(mapping, "x.csv", 7)


def test_dict_subclass_is_accepted(tmp_path, hand_result):
    dic.export_csv(collections.OrderedDict(hand_result), str(tmp_path / "r.csv"), 7)
    assert (tmp_path / "r.csv").exists()


def test_config_must_be_a_dicconfig():
    engine = dic.DICEngine()
    with pytest.raises(TypeError):
        engine.run(IMAGE, IMAGE, {"step": 7})
    with pytest.raises(RuntimeError):
        engine.run(IMAGE, IMAGE, None)
