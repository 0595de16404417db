#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Rewrites the PP-OCR text detector, line-direction classifier and line
recogniser so that OpenCV 4.6's ONNX importer loads and runs them, with the
same arithmetic:

- each input gets a fixed shape (the importer infers every layer's shape
  from it at load time); the recogniser's width is only where it starts:
  its layers follow the line's width at run time;
- Constant nodes become initializers, and Clip's min/max inputs become
  attributes (the importer reads only the attribute form);
- Reshape targets computed at run time from Shape results become constants
  (batch and copied dimensions as 0, the sequence length as -1), which drops
  the Shape, Slice, Cast and Concat nodes that fed them;
- a multiply and add by a vector along the last axis of a 3-D tensor (each
  layer norm's affine step) becomes a grouped 1x1 convolution on an NCHW
  view of the tensor;
- in the recogniser, each mean along the last axis (the layer norms)
  becomes a product with a constant column of 1/n, and each Squeeze a
  Reshape with the sequence length as -1: the importer turns both into
  layers of the sizes it saw at load time;
- the recogniser's closing softmax is dropped: the service takes it over the
  scores itself, some five times faster than the importer's layer;
- a convolution's output times a scalar and plus a scalar (the learnable
  affine steps of the detector's and recogniser's backbone) becomes the
  convolution's own weights and bias, and x / 6 * a (after each hard
  swish) x * (a / 6): a hundred fewer element-wise passes in the
  recogniser;
- each depthwise 5x5 convolution becomes the sum of four depthwise 3x3
  ones, each padded so that it covers a corner of the 5x5 window:
  OpenCV 4.6 runs depthwise 3x3 on a fast path and 5x5 some eleven times
  slower per multiply.

Usage: prepare_models.py ASSETS_DIR OUTPUT_DIR
"""
import os
import shutil
import sys

import numpy as np
import onnx
from onnx import helper, numpy_helper

DETECTOR = 'ch_PP-OCRv4_det_infer.onnx'
CLASSIFIER = 'ch_ppocr_mobile_v2.0_cls_infer.onnx'
RECOGNISER = 'ch_PP-OCRv4_rec_infer.onnx'
DICTIONARY = 'ppocr_keys_v1.txt'
LINE_HEIGHT = 48
CLASSIFIER_WIDTH = 192
DETECTOR_SIDE = 640  # any multiple of 32: the detector's layers follow the input
RECOGNISER_WIDTH = 320  # and the recogniser's the line's width


def initializers(graph):
    return {i.name: numpy_helper.to_array(i) for i in graph.initializer}


def replace_nodes(graph, nodes):
    del graph.node[:]
    graph.node.extend(nodes)


def constants_to_initializers(graph):
    kept = []
    for node in graph.node:
        if node.op_type == 'Constant':
            value = numpy_helper.to_array(node.attribute[0].t)
            graph.initializer.append(numpy_helper.from_array(value, node.output[0]))
        else:
            kept.append(node)
    replace_nodes(graph, kept)


def clip_bounds_as_attributes(graph):
    values = initializers(graph)
    for node in graph.node:
        if node.op_type != 'Clip' or len(node.input) < 2:
            continue
        bounds = list(node.input[1:])
        del node.input[1:]
        for name, bound in zip(('min', 'max'), bounds):
            if bound:
                node.attribute.append(helper.make_attribute(name, float(values[bound])))


def constant_reshape_targets(graph):
    producer = {out: node for node in graph.node for out in node.output}
    values = initializers(graph)

    def through_casts(name):
        node = producer.get(name)
        while node is not None and node.op_type == 'Cast':
            name = node.input[0]
            node = producer.get(name)
        return name, node

    def pieces(name):
        """('value', v) for a constant entry, ('dim', tensor, axis) for one read off a Shape."""
        name, node = through_casts(name)
        if name in values:
            return [('value', int(v)) for v in np.atleast_1d(values[name])]
        if node is not None and node.op_type == 'Concat':
            return [p for part in node.input for p in pieces(part)]
        if node is not None and node.op_type == 'Slice':
            source, shape = through_casts(node.input[0])
            attributes = {a.name: helper.get_attribute_value(a) for a in node.attribute}
            if shape is not None and shape.op_type == 'Shape' and attributes.get('axes', [0]) == [0]:
                return [('dim', shape.input[0], axis)
                        for axis in range(attributes['starts'][0], attributes['ends'][0])]
        raise ValueError('a Reshape target this script does not know how to fold: ' + name)

    for node in graph.node:
        if node.op_type != 'Reshape' or node.input[1] in values:
            continue
        target = []
        for position, piece in enumerate(pieces(node.input[1])):
            if piece[0] == 'value':
                target.append(piece[1])
            elif piece[2] == position and (piece[1] == node.input[0] or position == 0):
                target.append(0)  # the same dimension of the reshaped tensor, or the batch
            else:
                target.append(-1)
        if target.count(-1) > 1:
            raise ValueError('%s: more than one inferred dimension in %s' % (node.output[0], target))
        name = node.output[0] + '.target'
        graph.initializer.append(numpy_helper.from_array(np.array(target, dtype=np.int64), name))
        node.input[1] = name


def last_axis_affine_as_convolution(graph):
    values = initializers(graph)
    users = {}
    for node in graph.node:
        for name in node.input:
            users.setdefault(name, []).append(node)

    def vector(name):
        value = values.get(name)
        return value if value is not None and value.ndim == 1 and value.size > 1 else None

    nodes, folded, count = [], set(), 0
    for node in graph.node:
        if id(node) in folded:
            continue
        gamma = vector(node.input[1]) if node.op_type == 'Mul' else None
        if gamma is None:
            nodes.append(node)
            continue
        beta, last = np.zeros_like(gamma), node
        after = users.get(node.output[0], [])
        if len(after) == 1 and after[0].op_type == 'Add' and vector(after[0].input[1]) is not None \
                and vector(after[0].input[1]).shape == gamma.shape:
            last = after[0]
            beta = vector(last.input[1])
            folded.add(id(last))
        channels = gamma.size
        p = 'affine%d' % count
        count += 1
        graph.initializer.extend([
            numpy_helper.from_array(gamma.astype(np.float32).reshape(channels, 1, 1, 1), p + '.weight'),
            numpy_helper.from_array(beta.astype(np.float32), p + '.bias'),
            numpy_helper.from_array(np.array([0, 0, 1, -1], np.int64), p + '.nchw'),
            numpy_helper.from_array(np.array([0, 0, -1], np.int64), p + '.ncw'),
        ])
        nodes += [
            helper.make_node('Transpose', [node.input[0]], [p + '.channels'], perm=[0, 2, 1]),
            helper.make_node('Reshape', [p + '.channels', p + '.nchw'], [p + '.image']),
            helper.make_node('Conv', [p + '.image', p + '.weight', p + '.bias'], [p + '.scaled'],
                             group=channels, kernel_shape=[1, 1]),
            helper.make_node('Reshape', [p + '.scaled', p + '.ncw'], [p + '.flat']),
            helper.make_node('Transpose', [p + '.flat'], [last.output[0]], perm=[0, 2, 1]),
        ]
    replace_nodes(graph, nodes)


def scalar_steps_folded(graph):
    """A convolution's output times a and plus b (the models' learnable affine
    steps) as the convolution's own weights and bias; x / d * a as x * (a / d)."""
    values = initializers(graph)
    users = {}
    for node in graph.node:
        for name in node.input:
            users.setdefault(name, []).append(node)
    outputs = {o.name for o in graph.output}

    def scalar_step(node, op_types):
        """The node's only user if it is one of op_types with a constant scalar, and its value."""
        after = users.get(node.output[0], [])
        if len(after) != 1 or after[0].op_type not in op_types or node.output[0] in outputs:
            return None, None
        step = after[0]
        constants = [values[i] for i in step.input if i in values]
        if len(constants) != 1 or constants[0].size != 1 or len(step.input) != 2:
            return None, None
        if step.op_type == 'Div' and step.input[1] not in values:
            return None, None
        return step, float(constants[0].ravel()[0])

    dropped, count = set(), 0
    for node in graph.node:
        if id(node) in dropped:
            continue
        if node.op_type == 'Conv':
            weight = values.get(node.input[1])
            if weight is None:
                continue
            bias = values[node.input[2]] if len(node.input) > 2 and node.input[2] else np.zeros(weight.shape[0], np.float32)
            scale, shift, last = 1.0, 0.0, node
            mul, a = scalar_step(node, ('Mul',))
            if mul is not None:
                scale, last = a, mul
                dropped.add(id(mul))
            add, b = scalar_step(last, ('Add',))
            if add is not None:
                shift, last = b, add
                dropped.add(id(add))
            if last is node:
                continue
            p = 'folded%d' % count
            count += 1
            graph.initializer.extend([
                numpy_helper.from_array((weight * scale).astype(np.float32), p + '.weight'),
                numpy_helper.from_array((bias * scale + shift).astype(np.float32), p + '.bias')])
            del node.input[1:]
            node.input.extend([p + '.weight', p + '.bias'])
            node.output[0] = last.output[0]
        elif node.op_type == 'Div' and node.input[1] in values and values[node.input[1]].size == 1:
            mul, a = scalar_step(node, ('Mul',))
            if mul is None:
                continue
            p = 'folded%d' % count
            count += 1
            graph.initializer.append(numpy_helper.from_array(
                np.array(a / float(values[node.input[1]].ravel()[0]), np.float32), p + '.factor'))
            node.op_type = 'Mul'
            node.input[1] = p + '.factor'
            node.output[0] = mul.output[0]
            dropped.add(id(mul))
    replace_nodes(graph, [n for n in graph.node if id(n) not in dropped])


def depthwise_5x5_as_3x3(graph):
    values = initializers(graph)
    nodes, count = [], 0
    for node in graph.node:
        attributes = {a.name: helper.get_attribute_value(a) for a in node.attribute}
        weight = values.get(node.input[1]) if node.op_type == 'Conv' else None
        if weight is None or weight.shape[1:] != (1, 5, 5) or attributes.get('group') != weight.shape[0] \
                or attributes.get('pads') != [2, 2, 2, 2] or attributes.get('dilations', [1, 1]) != [1, 1] \
                or attributes.get('auto_pad', b'NOTSET') != b'NOTSET':
            nodes.append(node)
            continue
        p = 'dw5x5_%d' % count
        count += 1
        # The 3x3 windows at rows and columns 0 and 2 of the 5x5 one, each
        # padded so that its taps fall where they did; taps where windows
        # overlap go to the first.
        taken = np.zeros((5, 5), bool)
        parts = []
        for top in (0, 2):
            for left in (0, 2):
                kernel = np.zeros((weight.shape[0], 1, 3, 3), np.float32)
                for i in range(3):
                    for j in range(3):
                        if not taken[top + i, left + j]:
                            kernel[:, :, i, j] = weight[:, :, top + i, left + j]
                            taken[top + i, left + j] = True
                q = '%s.%d%d' % (p, top, left)
                graph.initializer.append(numpy_helper.from_array(kernel, q + '.weight'))
                inputs = [node.input[0], q + '.weight']
                if top == 0 and left == 0 and len(node.input) > 2 and node.input[2]:
                    inputs.append(node.input[2])
                nodes.append(helper.make_node('Conv', inputs, [q + '.part'], group=int(weight.shape[0]),
                                              kernel_shape=[3, 3], pads=[2 - top, 2 - left, top, left],
                                              strides=attributes.get('strides', [1, 1])))
                parts.append(q + '.part')
        nodes.append(helper.make_node('Sum', parts, [node.output[0]]))
    replace_nodes(graph, nodes)


def drop_unused(graph):
    needed = {out.name for out in graph.output}
    kept = []
    for node in reversed(graph.node):
        if any(out in needed for out in node.output):
            kept.append(node)
            needed.update(name for name in node.input if name)
    kept.reverse()
    replace_nodes(graph, kept)
    live = [i for i in graph.initializer if i.name in needed]
    del graph.initializer[:]
    graph.initializer.extend(live)


def inferred_shapes(model, shape):
    model = onnx.ModelProto.FromString(model.SerializeToString())
    fix_input_shape(model.graph, shape)
    graph = onnx.shape_inference.infer_shapes(model).graph
    return {v.name: [d.dim_value for d in v.type.tensor_type.shape.dim]
            for v in list(graph.value_info) + list(graph.input) + list(graph.output)}


def sequence_free(model, shape):
    """ReduceMean over the last axis and Squeeze as layers that follow the width."""
    graph = model.graph
    wider = list(shape[:-1]) + [shape[-1] * 2]
    at, at_wider = inferred_shapes(model, shape), inferred_shapes(model, wider)
    nodes = []
    for node in graph.node:
        attributes = {a.name: helper.get_attribute_value(a) for a in node.attribute}
        source = at.get(node.input[0]) if node.input else None
        if node.op_type == 'ReduceMean' and source and attributes.get('keepdims', 1) == 1 \
                and [a % len(source) for a in attributes.get('axes', [])] == [len(source) - 1]:
            column = node.output[0] + '.column'
            graph.initializer.append(numpy_helper.from_array(
                np.full((source[-1], 1), 1.0 / source[-1], np.float32), column))
            nodes.append(helper.make_node('MatMul', [node.input[0], column], [node.output[0]]))
        elif node.op_type == 'Squeeze' and source:
            target = [-1 if at_wider[node.output[0]][i] != d else d for i, d in enumerate(at[node.output[0]])]
            if target.count(-1) > 1:
                raise ValueError('%s: more than one dimension follows the width' % node.output[0])
            name = node.output[0] + '.target'
            graph.initializer.append(numpy_helper.from_array(np.array(target, np.int64), name))
            nodes.append(helper.make_node('Reshape', [node.input[0], name], [node.output[0]]))
        elif node.op_type == 'ReduceMean':
            raise ValueError('%s: a mean this script does not know how to rewrite' % node.output[0])
        else:
            nodes.append(node)
    replace_nodes(graph, nodes)


def without_closing_softmax(graph):
    last = graph.node[-1]
    if last.op_type != 'Softmax' or last.output[0] != graph.output[0].name:
        raise ValueError('the recogniser does not end in a softmax')
    producer = next(n for n in graph.node if last.input[0] in n.output)
    producer.output[0] = last.output[0]
    del graph.node[-1]


def fix_input_shape(graph, shape):
    dims = graph.input[0].type.tensor_type.shape.dim
    for dim, value in zip(dims, shape):
        dim.ClearField('dim_param')
        dim.dim_value = value


def prepare(source, target, shape, line=False):
    model = onnx.load(source)
    graph = model.graph
    constants_to_initializers(graph)
    clip_bounds_as_attributes(graph)
    constant_reshape_targets(graph)
    if line:
        last_axis_affine_as_convolution(graph)
        sequence_free(model, shape)
        without_closing_softmax(graph)
    scalar_steps_folded(graph)
    depthwise_5x5_as_3x3(graph)
    drop_unused(graph)
    fix_input_shape(graph, shape)
    onnx.save(model, target + '.part')
    os.replace(target + '.part', target)


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    assets, output = argv[1], argv[2]
    os.makedirs(output, exist_ok=True)
    prepare(os.path.join(assets, DETECTOR), os.path.join(output, 'det.onnx'), [1, 3, DETECTOR_SIDE, DETECTOR_SIDE])
    prepare(os.path.join(assets, CLASSIFIER), os.path.join(output, 'cls.onnx'),
            [1, 3, LINE_HEIGHT, CLASSIFIER_WIDTH])
    prepare(os.path.join(assets, RECOGNISER), os.path.join(output, 'rec.onnx'),
            [1, 3, LINE_HEIGHT, RECOGNISER_WIDTH], line=True)
    shutil.copyfile(os.path.join(assets, DICTIONARY), os.path.join(output, 'keys.txt'))


if __name__ == '__main__':
    main(sys.argv)
