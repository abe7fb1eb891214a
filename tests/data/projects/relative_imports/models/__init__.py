from .resnet import ResNet
from .utils import count_params
